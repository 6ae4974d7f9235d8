#pragma once
#include "ui/Form.h"

#include <QWidget>

class QLabel;
class QTimer;

// The start-up splash screen; closes itself after 3,500 ms or at a key press. It is shown once
// per run: once it has been on screen, later show() calls only unload the new instance.
class frmSplash : public vigilorn::Form<frmSplash, QWidget> {
    Q_OBJECT
public:
    frmSplash();

    // Shows the splash unless it has already been shown in this run.
    static void showOnce();
    static bool hasBeenShown();
    // For tests, which show it more than once.
    static void resetShownForTesting();

    void setVisible(bool visible) override;

    QTimer* Timer1;
    QLabel* lblLicenseTo;
    QLabel* lblPlatform;
    QLabel* lblVersion;
    QLabel* lblCopyright;
    QLabel* lblCompany;

protected:
    void keyPressEvent(QKeyEvent*) override;
    void mousePressEvent(QMouseEvent*) override;
    void paintEvent(QPaintEvent*) override;
    void showEvent(QShowEvent*) override;

private:
    static inline bool s_shown = false;
    bool m_ownShow = false;
};

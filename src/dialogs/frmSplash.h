#pragma once
#include "app/Form.h"

#include <QWidget>

class QTimer;

// The start-up splash screen; closes itself after 3,500 ms or at a key press.
class frmSplash : public vigilorn::Form<frmSplash, QWidget> {
    Q_OBJECT
public:
    frmSplash();
    QTimer* Timer1;

protected:
    void keyPressEvent(QKeyEvent*) override;
};

#pragma once
#include "ui/Form.h"

#include <QDialog>

class QLabel;
class QPushButton;

// About: the program's name, version and purpose, the vendor's web site, the system
// information tool.
class frmAbout : public vigilorn::Form<frmAbout, QDialog> {
    Q_OBJECT
public:
    frmAbout();

    QLabel* picIcon;
    QLabel* lblTitle;
    QLabel* lblVersion;
    QLabel* lblDescription;
    QPushButton* Command1; // the vendor's web site
    QWidget* Line1;
    QLabel* lblDisclaimer;
    QLabel* lblEngine; // where restore points go
    QPushButton* cmdOK;
    QPushButton* cmdSysInfo;

    void StartSysInfo();

protected:
    void paintEvent(QPaintEvent*) override;
    void showEvent(QShowEvent*) override;
    void reject() override;

private:
    void Command1_Click();
    void cmdOK_Click();
};

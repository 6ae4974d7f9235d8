#pragma once
#include "ReminderWindow.h"
#include "mainwin/ImageButton.h"

class QLabel;

// The first reminder: names the installer and asks whether a restore point exists.
class frmDialog : public ReminderWindow<frmDialog> {
    Q_OBJECT
public:
    frmDialog();

    QLabel* Label1;
    vigilorn::ImageButton* Picture1; // Yes
    vigilorn::ImageButton* Picture2; // No

private:
    void Picture1_Click();
    void Picture2_Click();

    vigilorn::ImageList ImageList1;
};

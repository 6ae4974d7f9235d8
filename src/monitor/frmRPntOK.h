#pragma once
#include "ReminderWindow.h"
#include "ui/ImageButton.h"

class QLabel;

// "Restore Point Created Successfully!"
class frmRPntOK : public ReminderWindow<frmRPntOK> {
    Q_OBJECT
public:
    frmRPntOK();

    QLabel* Label1;
    vigilorn::ImageButton* Picture1; // OK

private:
    vigilorn::ImageList ImageList1;
};

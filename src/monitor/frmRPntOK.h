#pragma once
#include "ReminderWindow.h"
#include "ui/ImageButton.h"

class QLabel;

// "Restore Point Created Successfully!"
class frmRPntOK : public ReminderWindow<frmRPntOK> {
    Q_OBJECT
public:
    frmRPntOK();

    // Shown modal until OK is pressed.
    static void confirmModally();

    QLabel* Label1;
    vigilorn::ImageButton* Picture1; // OK

private:
    vigilorn::ImageList ImageList1;
};

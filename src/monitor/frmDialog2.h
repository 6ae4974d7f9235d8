#pragma once
#include "ReminderWindow.h"
#include "ui/ImageButton.h"

class QLabel;

// The second reminder, with a button that creates a restore point at once.
class frmDialog2 : public ReminderWindow<frmDialog2> {
    Q_OBJECT
public:
    frmDialog2();

    // Hides this reminder, creates "QMAutoResPnt", confirms it, unloads. Throws on failure.
    void CreatePointAuto();

    QLabel* Label1;
    vigilorn::ImageButton* Picture3; // Create Restore Point
    vigilorn::ImageButton* Picture1; // OK

private:
    void Picture3_Click();

    vigilorn::ImageList ImageList1;
};

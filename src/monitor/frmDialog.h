#pragma once
#include "InstallerMonitor.h"
#include "ReminderWindow.h"
#include "ui/ImageButton.h"

#include <QPointer>

class QLabel;

// The first reminder: names the installer and asks whether a restore point exists.
class frmDialog : public ReminderWindow<frmDialog> {
    Q_OBJECT
public:
    frmDialog();

    // The monitor whose pass brought the reminder up, told what the user answered.
    void setMonitor(vigilorn::InstallerMonitor* monitor) { m_monitor = monitor; }

    QLabel* Label1;
    vigilorn::ImageButton* Picture1; // Yes
    vigilorn::ImageButton* Picture2; // No

private:
    void Picture1_Click();
    void Picture2_Click();

    vigilorn::ImageList ImageList1;
    QPointer<vigilorn::InstallerMonitor> m_monitor;
};

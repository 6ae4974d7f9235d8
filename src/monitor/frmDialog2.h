#pragma once
#include "InstallerMonitor.h"
#include "ReminderWindow.h"
#include "ui/ImageButton.h"

#include <QPointer>

class QLabel;

// The second reminder, with a button that creates a restore point at once.
class frmDialog2 : public ReminderWindow<frmDialog2> {
    Q_OBJECT
public:
    frmDialog2();

    // Hides this reminder, creates "QMAutoResPnt", confirms it, unloads. Throws on failure.
    // While the package hook holds a change, the hook makes the point before the change and
    // the monitor reports the outcome.
    void CreatePointAuto();

    // The monitor whose reminder this follows; its held changes are answered from here.
    void setMonitor(vigilorn::InstallerMonitor* monitor) { m_monitor = monitor; }

    QLabel* Label1;
    vigilorn::ImageButton* Picture3; // Create Restore Point
    vigilorn::ImageButton* Picture1; // OK

private:
    void Picture3_Click();

    vigilorn::ImageList ImageList1;
    QPointer<vigilorn::InstallerMonitor> m_monitor;
};

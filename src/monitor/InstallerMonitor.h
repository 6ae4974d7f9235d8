#pragma once
// The monitor without its windows: the detection and follow-up timers and their passes. What
// it finds it announces; the main window shows the reminders.
#include "monitor/InstallerRules.h"

#include <QObject>
#include <QString>

class QTimer;

namespace vigilorn {

class InstallerMonitor : public QObject {
    Q_OBJECT
public:
    // A daemon that does not answer within this costs a pass no more than this.
    static constexpr int kPackageDaemonTimeoutMs = 500;

    // Reads the rules' switch from the settings; Timer1 runs from here on.
    explicit InstallerMonitor(QObject* parent = nullptr);

    void scanForInstaller();
    void haveDoneRestore();
    void secondMessage();
    void waitForInstallerEnd();

    const InstallerRules& rules() const { return m_rules; }

    QTimer* Timer1;
    QTimer* Timer2;

signals:
    // The first installer of a pass, named as the system reports it.
    void installerFound(const QString& processName);
    // secondMessage wants the second reminder shown.
    void secondReminderWanted();

private:
    // Walks the processes up to the first installer, whose name it leaves in name (empty
    // when there is none); false when the walk failed and the pass must end with no effect.
    bool walkProcesses(std::string& name, bool& otherSeen);
    // The package daemon's name while it changes packages.
    std::optional<std::string> askPackageDaemon() const;

    InstallerRules m_rules;
};

} // namespace vigilorn

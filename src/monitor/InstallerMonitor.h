#pragma once
// The monitor without its windows: the detection and follow-up timers and their passes. What
// it finds it announces; the main window shows the reminders.
#include "app/HeldChange.h"
#include "monitor/InstallerRules.h"
#include "platform/HoldProtocol.h"

#include <QPointer>

#include <QObject>
#include <QString>

#include <functional>
#include <vector>

class QTimer;

namespace vigilorn {

class InstallerMonitor : public QObject {
    Q_OBJECT
public:
    // A daemon that does not answer within this costs a pass no more than this.
    static constexpr int kPackageDaemonTimeoutMs = 500;

    // Reads the rules' switch from the settings; Timer1 runs from here on.
    explicit InstallerMonitor(QObject* parent = nullptr);

    // The longest a held change waits for the user; longer settings are read as this.
    static constexpr int kMaxHoldSeconds = hold::kHoldCapSeconds;

    void scanForInstaller();
    void haveDoneRestore();
    void secondMessage();
    void waitForInstallerEnd();

    // A change the package hook holds: announced as a found installer, and answered by the
    // reminders' buttons, or automatically when the wait runs out.
    void hold(HeldChange* change);
    bool holding() const;
    // Answers every held change; Point is asked of one hook, the others go on.
    void answerHeld(HeldChange::Answer answer);

    const InstallerRules& rules() const { return m_rules; }
    bool hooksWanted() const { return m_hooks; }
    int holdSeconds() const { return m_holdSeconds; }

    QTimer* Timer1;
    QTimer* Timer2;
    // Whether the second reminder is up; the windows above know.
    std::function<bool()> secondReminderOpen;

signals:
    // The first installer of a pass, named as the system reports it.
    void installerFound(const QString& processName);
    // secondMessage wants the second reminder shown.
    void secondReminderWanted();
    // A point asked of a hook was made, or could not be.
    void heldPointMade(const QString& number);
    void heldPointFailed(const QString& why);

private:
    // Walks the processes up to the first installer, whose name it leaves in name (empty
    // when there is none); false when the walk failed and the pass must end with no effect.
    bool walkProcesses(std::string& name, bool& otherSeen);
    // The package daemon's name while it changes packages.
    std::optional<std::string> askPackageDaemon() const;

    void dropAnswered();

    InstallerRules m_rules;
    bool m_hooks = true;
    int m_holdSeconds = kMaxHoldSeconds;
    std::vector<QPointer<HeldChange>> m_held;
    // The installer last announced, and the one whose reminder the user answered while the
    // follow-up watch still runs: APT is found by a pass before its hook holds the change.
    QString m_announced;
    QString m_answeredFor;
};

} // namespace vigilorn

#include "InstallerMonitor.h"

#include "app/Module1.h"
#include "app/SettingsStore.h"
#include "platform/PackageTransactions.h"
#include "platform/ProcessSource.h"
#include "platform/RuntimeError.h"
#include "platform/SystemRestore.h"

#include <QTimer>

#include <algorithm>

namespace vigilorn {
namespace {

// A value of [Detect] that is not a number leaves the default.
int detectSetting(const char* key, int fallback) {
    if (!Module1::services.settings)
        return fallback;
    try {
        return Module1::services.settings->readInt16(QStringLiteral("Detect"),
                                                     QString::fromLatin1(key), fallback);
    } catch (const RuntimeError&) {
        return fallback;
    }
}

bool packageManagersWanted() {
    return detectSetting("PackageManagers", 1) != 0;
}

// Deeper chains than this are not the root side's: it starts apt-get, which starts dpkg, which
// starts the maintainer scripts.
constexpr int kMaxAncestors = 64;

// Whether the process descends from ancestor, by its parents as they are now.
bool descendsFrom(ProcessSource& source, std::string pid, const std::string& ancestor) {
    for (int depth = 0; depth < kMaxAncestors; ++depth) {
        auto parent = source.parentOf(pid);
        if (!parent || *parent == pid || *parent == "0")
            return false;
        if (*parent == ancestor)
            return true;
        pid = std::move(*parent);
    }
    return false;
}

} // namespace

InstallerMonitor::InstallerMonitor(QObject* parent)
    : QObject(parent), m_rules(packageManagersWanted()), m_hooks(detectSetting("Hooks", 1) != 0),
      m_holdSeconds(std::clamp(detectSetting("HoldSeconds", kMaxHoldSeconds), 0, kMaxHoldSeconds)) {
    setObjectName(QStringLiteral("InstallerMonitor"));
    // Precise: the default coarse timers may fire up to 5% early.
    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setTimerType(Qt::PreciseTimer);
    Timer2 = new QTimer(this);
    Timer2->setObjectName(QStringLiteral("Timer2"));
    Timer2->setTimerType(Qt::PreciseTimer);
    connect(Timer1, &QTimer::timeout, this, &InstallerMonitor::scanForInstaller);
    connect(Timer2, &QTimer::timeout, this, &InstallerMonitor::waitForInstallerEnd);
    Timer1->setInterval(10000);
    Timer1->start();
}

bool InstallerMonitor::walkProcesses(std::string& name, bool& otherSeen) {
    name.clear();
    ProcessSource* source = Module1::services.processes;
    if (!source)
        return false;
    // The package runs of the program's own restore are not installers to remind about.
    const SystemRestore* restore = Module1::services.systemRestore;
    const std::optional<std::string> ownRun = restore ? restore->childPid() : std::nullopt;
    auto failure = source->EnumerateProcesses([&](const ProcessEntry& e) {
        const bool installer = m_rules.isInstaller(e.Name, [&]() {
            std::optional<std::vector<std::string>> args(std::in_place);
            if (!source->readArguments(e.processid, *args))
                args.reset();
            return args;
        });
        if (!installer || (ownRun && descendsFrom(*source, e.processid, *ownRun))) {
            otherSeen = true;
            return true;
        }
        name = e.Name;
        return false;
    });
    return !failure;
}

std::optional<std::string> InstallerMonitor::askPackageDaemon() const {
    if (!m_rules.packageManagers() || !Module1::services.packageDaemon)
        return std::nullopt;
    return Module1::services.packageDaemon->changingPackages(kPackageDaemonTimeoutMs);
}

void InstallerMonitor::scanForInstaller() {
    // The held change's reminder is up already: its installer is not announced twice.
    if (holding())
        return;
    try {
        std::string name;
        bool otherSeen = false;
        if (!walkProcesses(name, otherSeen))
            return;
        if (name.empty()) {
            auto daemon = askPackageDaemon();
            if (!daemon)
                return;
            name = *daemon;
        }
        m_announced = QString::fromStdString(name);
        emit installerFound(m_announced);
    } catch (const RuntimeError&) {
    }
}

void InstallerMonitor::haveDoneRestore() {
    m_answeredFor = m_announced;
    Timer1->stop();
    Timer2->setInterval(5000);
    Timer2->start();
}

void InstallerMonitor::secondMessage() {
    if (!Module1::restorePointConfirmed)
        emit secondReminderWanted();
    haveDoneRestore();
}

void InstallerMonitor::waitForInstallerEnd() {
    try {
        std::string name;
        bool otherSeen = false;
        // With no process at all seen nothing changes, so the daemon need not be asked.
        if (!walkProcesses(name, otherSeen) || !name.empty() || !otherSeen)
            return;
        if (askPackageDaemon())
            return;
        Timer2->stop();
        m_answeredFor.clear();
        Timer1->setInterval(5000);
        Timer1->start();
    } catch (const RuntimeError&) {
    }
}

void InstallerMonitor::hold(HeldChange* change) {
    if (!change || change->answered())
        return;
    if (!m_hooks) {
        change->answer(HeldChange::Answer::Off);
        return;
    }
    if (m_holdSeconds == 0) {
        change->answer(HeldChange::Answer::Auto);
        return;
    }
    dropAnswered();
    // The user answered this installer's reminder already: not asked twice. While the second
    // reminder is up, its buttons answer the hook too.
    const bool answered =
        Timer2->isActive() && !m_answeredFor.isEmpty() && m_answeredFor == change->frontEnd();
    if (answered && !(secondReminderOpen && secondReminderOpen())) {
        change->answer(HeldChange::Answer::Go);
        return;
    }
    m_held.emplace_back(change);
    connect(change, &HeldChange::gone, this, [this, change] {
        std::erase_if(m_held,
                      [change](const QPointer<HeldChange>& c) { return !c || c == change; });
    });
    QTimer::singleShot(m_holdSeconds * 1000, change,
                       [change] { change->answer(HeldChange::Answer::Auto); });
    if (answered)
        return;
    m_announced = change->frontEnd();
    emit installerFound(m_announced);
}

bool InstallerMonitor::holding() const {
    return std::any_of(m_held.begin(), m_held.end(),
                       [](const QPointer<HeldChange>& c) { return c && !c->answered(); });
}

void InstallerMonitor::answerHeld(HeldChange::Answer answer) {
    dropAnswered();
    bool asked = false;
    for (const QPointer<HeldChange>& c : std::vector(m_held)) {
        if (!c)
            continue;
        if (answer == HeldChange::Answer::Point && !asked) {
            asked = true;
            connect(c, &HeldChange::pointMade, this, &InstallerMonitor::heldPointMade);
            connect(c, &HeldChange::pointFailed, this, &InstallerMonitor::heldPointFailed);
            c->answer(answer);
        } else {
            c->answer(answer == HeldChange::Answer::Point ? HeldChange::Answer::Go : answer);
        }
    }
    m_held.clear();
}

void InstallerMonitor::dropAnswered() {
    std::erase_if(m_held, [](const QPointer<HeldChange>& c) { return !c || c->answered(); });
}

} // namespace vigilorn

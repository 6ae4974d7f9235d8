// The monitor's cycle, driven through the tick handlers against the fake process source.
#include "TestSupport.h"
#include "app/HeldChange.h"
#include "mainwin/frmMain.h"
#include "monitor/InstallerRule.h"
#include "monitor/frmDialog.h"
#include "monitor/frmDialog2.h"
#include "monitor/frmRPntOK.h"

#include <QApplication>
#include <QLabel>
#include <QTest>
#include <QTimer>

#include <algorithm>

using namespace vigilorn;
using test::proc;

namespace {

int countTopLevel(const char* objectName) {
    int n = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String(objectName) && w->isVisible())
            ++n;
    return n;
}

void flushDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// The hook's end of a held change: records what it was answered.
class FakeHeldChange final : public HeldChange {
public:
    explicit FakeHeldChange(QString frontEnd) : m_frontEnd(std::move(frontEnd)) {}
    QString frontEnd() const override { return m_frontEnd; }
    void answer(Answer a) override { answers.push_back(a); }
    bool answered() const override { return !answers.empty(); }
    void reportMade(const QString& n) { emit pointMade(n); }
    void reportFailed() { emit pointFailed(QStringLiteral("The package hook could not make it.")); }
    void leave() { emit gone(); }
    std::vector<Answer> answers;

private:
    QString m_frontEnd;
};

} // namespace

class TestMonitor : public QObject {
    Q_OBJECT

    std::unique_ptr<test::FakeServices> env;
    frmMain* m = nullptr;

    // Yes and No of the first reminder, OK and Create of the second.
    static void clickReminder(const QString& c) {
        if (c == "Yes" || c == "No")
            QTest::mouseClick(c == "Yes" ? frmDialog::loaded()->Picture1
                                         : frmDialog::loaded()->Picture2,
                              Qt::LeftButton);
        else
            QTest::mouseClick(c == "OK" ? frmDialog2::loaded()->Picture1
                                        : frmDialog2::loaded()->Picture3,
                              Qt::LeftButton);
        flushDeletes();
    }

    void reachReminding(const char* installer = "setup.exe") {
        env->processes.processes = {proc("bash"), proc(installer)};
        m->scanForInstaller();
        QVERIFY(frmDialog::loaded());
    }

private slots:
    void init() {
        env = std::make_unique<test::FakeServices>();
        m = frmMain::instance();
    }
    void cleanup() {
        for (QWidget* w : {static_cast<QWidget*>(frmDialog::loaded()),
                           static_cast<QWidget*>(frmDialog2::loaded()),
                           static_cast<QWidget*>(frmRPntOK::loaded()), static_cast<QWidget*>(m)})
            delete w;
        flushDeletes();
        env.reset();
    }

    // ---- detection ----

    void noInstallerNoDialog() {
        env->processes.processes = {proc("bash"), proc("Xvfb"), proc("dpkg")};
        m->scanForInstaller();
        QVERIFY(!frmDialog::loaded());
        QCOMPARE(env->processes.lastVisited, std::size_t(3));
        QVERIFY(MessageBox::shown().empty());
    }

    void firstMatchWinsAndStopsTheWalk() {
        env->processes.processes = {proc("bash"), proc("MySetupTool.exe"), proc("msiexec.exe"),
                                    proc("never-read")};
        m->scanForInstaller();
        frmDialog* d = frmDialog::loaded();
        QVERIFY(d && d->isVisible());
        QCOMPARE(d->Label1->text(), reminderText(QStringLiteral("MySetupTool.exe")));
        QCOMPARE(env->processes.lastVisited, std::size_t(2));
        QVERIFY(d->windowFlags() & Qt::WindowStaysOnTopHint);
        QCOMPARE(d->windowTitle(), QStringLiteral("Vigilorn Message"));
        QCOMPARE(d->size(), QSize(255, 145));
    }

    void unansweredReminderIsReshownNeverDuplicated() {
        reachReminding("setup.exe");
        frmDialog* first = frmDialog::loaded();
        env->processes.processes = {proc("INSTALLER.EXE"), proc("setup.exe")};
        m->scanForInstaller();
        QCOMPARE(frmDialog::loaded(), first);
        QCOMPARE(first->Label1->text(), reminderText(QStringLiteral("INSTALLER.EXE")));
        QCOMPARE(countTopLevel("frmDialog"), 1);
        // A pass that finds nothing leaves it open.
        env->processes.processes = {proc("bash")};
        m->scanForInstaller();
        QVERIFY(first->isVisible());
        QVERIFY(m->Timer1->isActive());
    }

    void failedPassesAreSilent() {
        env->processes.processes = {proc("setup.exe")};
        env->processes.queryFailure = PlatformError{-2147217405, "Access denied"};
        m->scanForInstaller();
        QVERIFY(!frmDialog::loaded());
        env->processes.queryFailure.reset();
        env->processes.processes = {proc("bash"), proc("setup.exe")};
        env->processes.failAfter = 1; // fails before the installer is reached
        m->scanForInstaller();
        QVERIFY(!frmDialog::loaded());
        QVERIFY(MessageBox::shown().empty());
        QVERIFY(m->Timer1->isActive());
        QCOMPARE(m->Timer1->interval(), 10000);
    }

    void closedByTheFrameOpensAgainOnTheNextMatch() {
        reachReminding();
        frmDialog::loaded()->close();
        flushDeletes();
        QVERIFY(!frmDialog::loaded());
        QVERIFY(m->Timer1->isActive());
        QVERIFY(!m->Timer2->isActive());
        m->scanForInstaller();
        QVERIFY(frmDialog::loaded() && frmDialog::loaded()->isVisible());
    }

    // ---- the answers ----

    void yesStartsTheFollowUpWatch() {
        reachReminding();
        QTest::mouseClick(frmDialog::loaded()->Picture1, Qt::LeftButton);
        QVERIFY(Module1::restorePointConfirmed);
        QVERIFY(!frmDialog::loaded());
        QVERIFY(!frmDialog2::loaded());
        QVERIFY(!m->Timer1->isActive());
        QVERIFY(m->Timer2->isActive());
        QCOMPARE(m->Timer2->interval(), 5000);
    }

    void noShowsTheSecondReminder() {
        reachReminding();
        Module1::restorePointConfirmed = true;
        QTest::mouseClick(frmDialog::loaded()->Picture2, Qt::LeftButton);
        QVERIFY(!Module1::restorePointConfirmed);
        QVERIFY(!frmDialog::loaded());
        frmDialog2* d2 = frmDialog2::loaded();
        QVERIFY(d2 && d2->isVisible());
        QCOMPARE(d2->Label1->text(), secondMessageText());
        QVERIFY(d2->windowFlags() & Qt::WindowStaysOnTopHint);
        QVERIFY(!m->Timer1->isActive());
        QVERIFY(m->Timer2->isActive());
        QCOMPARE(m->Timer2->interval(), 5000);
    }

    void rightOrMiddleButtonAnswersNothing() {
        reachReminding();
        frmDialog* d = frmDialog::loaded();
        QTest::mouseClick(d->Picture1, Qt::RightButton);
        QTest::mouseClick(d->Picture2, Qt::MiddleButton);
        QCOMPARE(frmDialog::loaded(), d);
        QVERIFY(m->Timer1->isActive());
    }

    void secondMessageReusesAnOpenSecondReminder() {
        m->secondMessage();
        frmDialog2* d2 = frmDialog2::loaded();
        d2->Label1->setText(QStringLiteral("stale"));
        m->secondMessage();
        QCOMPARE(frmDialog2::loaded(), d2);
        QCOMPARE(d2->Label1->text(), secondMessageText());
        QCOMPARE(countTopLevel("frmDialog2"), 1);
    }

    void secondMessageAfterYesShowsNothing() {
        Module1::restorePointConfirmed = true;
        m->secondMessage();
        QVERIFY(!frmDialog2::loaded());
        QVERIFY(m->Timer2->isActive());
    }

    // ---- the follow-up watch ----

    void followingUntilEveryInstallerHasGone() {
        reachReminding();
        QTest::mouseClick(frmDialog::loaded()->Picture1, Qt::LeftButton);
        env->processes.processes = {proc("bash"), proc("setup.exe"), proc("msiexec.exe")};
        for (int i = 0; i < 5; ++i) { // a long-running installer keeps the watch going
            m->waitForInstallerEnd();
            QVERIFY(m->Timer2->isActive());
            QVERIFY(!m->Timer1->isActive());
        }
        env->processes.processes = {proc("bash"), proc("msiexec.exe")};
        m->waitForInstallerEnd();
        QVERIFY(m->Timer2->isActive());
        env->processes.processes = {proc("bash")};
        m->waitForInstallerEnd();
        QVERIFY(!m->Timer2->isActive());
        QVERIFY(m->Timer1->isActive());
        QCOMPARE(m->Timer1->interval(), 5000);
    }

    void noOwnedProcessOrAFailureChangesNothing() {
        m->haveDoneRestore();
        env->processes.processes = {};
        m->waitForInstallerEnd();
        QVERIFY(m->Timer2->isActive());
        env->processes.processes = {proc("bash")};
        env->processes.queryFailure = PlatformError{1, "x"};
        m->waitForInstallerEnd();
        QVERIFY(m->Timer2->isActive());
        env->processes.queryFailure.reset();
        env->processes.failAfter = 1; // the walk breaks after one harmless process
        m->waitForInstallerEnd();
        QVERIFY(m->Timer2->isActive());
        QVERIFY(!m->Timer1->isActive());
        QVERIFY(MessageBox::shown().empty());
    }

    void detectionStaysAtFiveSecondsAfterTheFirstCycle() {
        QCOMPARE(m->Timer1->interval(), 10000);
        for (int cycle = 0; cycle < 2; ++cycle) {
            reachReminding();
            QTest::mouseClick(frmDialog::loaded()->Picture1, Qt::LeftButton);
            env->processes.processes = {proc("bash")};
            m->waitForInstallerEnd();
            QVERIFY(m->Timer1->isActive());
            QCOMPARE(m->Timer1->interval(), 5000);
        }
    }

    // ---- package managers and the package daemon ----

    // One process beside a shell; args "-" = its arguments cannot be read.
    void packageManagersRemind_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("args");
        QTest::addColumn<QString>("daemon");
        QTest::addColumn<QString>("reminds");
        QTest::addColumn<int>("daemonAsked");
        QTest::newRow("dpkg -i") << "dpkg"
                                 << "dpkg -i x.deb"
                                 << ""
                                 << "dpkg" << 0;
        QTest::newRow("apt-get install") << "apt-get"
                                         << "apt-get install ./x.deb"
                                         << ""
                                         << "apt-get" << 0;
        QTest::newRow("a process beats the daemon") << "apt"
                                                    << "apt install x"
                                                    << "packagekitd"
                                                    << "apt" << 0;
        QTest::newRow("apt list") << "apt"
                                  << "apt list"
                                  << ""
                                  << "" << 1;
        QTest::newRow("unreadable arguments") << "apt-get"
                                              << "-"
                                              << ""
                                              << "" << 1;
        QTest::newRow("the daemon installs") << "bash"
                                             << "-"
                                             << "packagekitd"
                                             << "packagekitd" << 1;
        QTest::newRow("nothing at all") << "bash"
                                        << "-"
                                        << ""
                                        << "" << 1;
    }
    void packageManagersRemind() {
        QFETCH(QString, name);
        QFETCH(QString, args);
        QFETCH(QString, daemon);
        QFETCH(QString, reminds);
        QFETCH(int, daemonAsked);
        env->processes.processes = {proc("bash", "10"), proc(qPrintable(name), "20")};
        if (args != QLatin1String("-")) {
            std::vector<std::string> argv;
            for (const QString& a : args.split(QLatin1Char(' ')))
                argv.push_back(a.toStdString());
            env->processes.arguments["20"] = argv;
        }
        if (!daemon.isEmpty())
            env->packageDaemon.answer = daemon.toStdString();
        m->scanForInstaller();
        if (reminds.isEmpty()) {
            QVERIFY(!frmDialog::loaded());
        } else {
            QVERIFY(frmDialog::loaded() && frmDialog::loaded()->isVisible());
            QCOMPARE(frmDialog::loaded()->Label1->text(), reminderText(reminds));
        }
        // Only the package manager's arguments are read, never the shell's.
        QVERIFY(std::find(env->processes.argumentReads.begin(), env->processes.argumentReads.end(),
                          "10") == env->processes.argumentReads.end());
        QCOMPARE(int(env->packageDaemon.timeouts.size()), daemonAsked);
        for (int t : env->packageDaemon.timeouts)
            QCOMPARE(t, 500);
    }

    void aFailedWalkDoesNotAskTheDaemon() {
        env->processes.processes = {proc("bash")};
        env->processes.queryFailure = PlatformError{1, "x"};
        env->packageDaemon.answer = "packagekitd";
        m->scanForInstaller();
        QVERIFY(!frmDialog::loaded());
        QVERIFY(env->packageDaemon.timeouts.empty());
    }

    // Yes waits until neither the package manager nor the daemon's transaction is left.
    void followingWaitsForPackageManagersAndTheDaemon() {
        env->processes.processes = {proc("bash", "10"), proc("apt-get", "20")};
        env->processes.arguments["20"] = {"apt-get", "install", "x"};
        m->scanForInstaller();
        QTest::mouseClick(frmDialog::loaded()->Picture1, Qt::LeftButton);
        m->waitForInstallerEnd();
        QVERIFY(m->Timer2->isActive());
        env->processes.arguments["20"] = {"apt-get", "update"};
        env->packageDaemon.answer = "packagekitd";
        m->waitForInstallerEnd();
        m->waitForInstallerEnd();
        QVERIFY(m->Timer2->isActive());
        QVERIFY(!m->Timer1->isActive());
        env->packageDaemon.answer.reset();
        m->waitForInstallerEnd();
        QVERIFY(!m->Timer2->isActive());
        QVERIFY(m->Timer1->isActive());
        QCOMPARE(m->Timer1->interval(), 5000);
    }

    // The package runs under the program's own restore (child 50: pkexec's root side, then
    // apt-get 60, then dpkg 70) are not installers while it runs; any other installer is.
    void ownRestoreIsNoInstaller_data() {
        QTest::addColumn<bool>("restoreRuns");
        QTest::addColumn<QString>("dpkgParent"); // "-": unreadable
        QTest::addColumn<bool>("reminds");
        QTest::newRow("under the restore") << true << "60" << false;
        QTest::newRow("beside the restore") << true << "1" << true;
        QTest::newRow("its parent unreadable") << true << "-" << true;
        QTest::newRow("no restore running") << false << "60" << true;
    }
    void ownRestoreIsNoInstaller() {
        QFETCH(bool, restoreRuns);
        QFETCH(QString, dpkgParent);
        QFETCH(bool, reminds);
        Module1::services.systemRestore = &env->systemRestore;
        env->systemRestore.pid = "50";
        if (restoreRuns)
            env->systemRestore.start(3, {});
        auto& p = env->processes;
        p.processes = {proc("bash", "10"), proc("qmvigilorn-syst", "50", "root"),
                       proc("apt-get", "60", "root"), proc("dpkg", "70", "root")};
        p.arguments["60"] = {"/usr/bin/apt-get", "install", "hello=1"};
        p.arguments["70"] = {"/usr/bin/dpkg", "--unpack", "hello.deb"};
        p.parents = {{"10", "1"}, {"50", "10"}, {"60", "50"}, {"1", "0"}};
        if (dpkgParent != QLatin1String("-"))
            p.parents["70"] = dpkgParent.toStdString();
        m->scanForInstaller();
        QCOMPARE(bool(frmDialog::loaded()), reminds);
        if (reminds)
            QCOMPARE(
                frmDialog::loaded()->Label1->text(),
                reminderText(restoreRuns ? QStringLiteral("dpkg") : QStringLiteral("apt-get")));

        // Nor does the follow-up watch wait for them.
        m->haveDoneRestore();
        m->waitForInstallerEnd();
        QCOMPARE(m->Timer2->isActive(), reminds);
    }

    // [Detect] PackageManagers=0 keeps the name rule alone; anything but a number keeps the
    // default.
    void packageManagersSwitch_data() {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<bool>("on");
        QTest::newRow("absent") << QByteArray("[Options]\nShowSplashStartUP=0\n") << true;
        QTest::newRow("0") << QByteArray("[Detect]\nPackageManagers=0\n") << false;
        QTest::newRow("1") << QByteArray("[Detect]\nPackageManagers=1\n") << true;
        QTest::newRow("not a number") << QByteArray("[Detect]\nPackageManagers=off\n") << true;
    }
    void packageManagersSwitch() {
        QFETCH(QByteArray, ini);
        QFETCH(bool, on);
        delete m;
        env->writeSettings(ini);
        m = frmMain::instance();
        env->processes.processes = {proc("bash", "10")};
        env->packageDaemon.answer = "packagekitd";
        m->scanForInstaller();
        QCOMPARE(bool(frmDialog::loaded()), on);
        QCOMPARE(env->packageDaemon.timeouts.size(), std::size_t(on ? 1 : 0));
        delete frmDialog::loaded();
        flushDeletes();

        env->packageDaemon.answer.reset();
        env->processes.processes = {proc("bash", "10"), proc("dpkg", "20")};
        env->processes.arguments["20"] = {"dpkg", "-i", "x.deb"};
        m->scanForInstaller();
        QCOMPARE(bool(frmDialog::loaded()), on);
        if (on)
            QCOMPARE(frmDialog::loaded()->Label1->text(), reminderText(QStringLiteral("dpkg")));
        QCOMPARE(env->processes.argumentReads.empty(), !on);
        // The name rule holds either way.
        env->processes.processes = {proc("setup.exe")};
        m->scanForInstaller();
        QCOMPARE(frmDialog::loaded()->Label1->text(), reminderText(QStringLiteral("setup.exe")));
    }

    // ---- changes held by the package hook ----

    void heldChangeIsAnsweredByTheReminders_data() {
        QTest::addColumn<QStringList>("clicks");
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("hookReport");
        QTest::addColumn<bool>("confirmed");
        using A = HeldChange::Answer;
        QTest::newRow("yes") << QStringList{"Yes"} << int(A::Go) << "" << false;
        QTest::newRow("no, then OK") << QStringList{"No", "OK"} << int(A::Go) << "" << false;
        QTest::newRow("no, then create")
            << QStringList{"No", "Create"} << int(A::Point) << "made" << true;
        QTest::newRow("no, then create, and the hook fails")
            << QStringList{"No", "Create"} << int(A::Point) << "failed" << false;
    }
    void heldChangeIsAnsweredByTheReminders() {
        QFETCH(QStringList, clicks);
        QFETCH(int, answer);
        QFETCH(QString, hookReport);
        QFETCH(bool, confirmed);
        FakeHeldChange change(QStringLiteral("apt-get"));
        m->holdChange(&change);
        QVERIFY(frmDialog::loaded());
        QCOMPARE(frmDialog::loaded()->Label1->text(), reminderText(QStringLiteral("apt-get")));
        // Its installer, found by the next pass, is not announced over it.
        env->processes.processes = {proc("setup.exe")};
        m->scanForInstaller();
        QCOMPARE(frmDialog::loaded()->Label1->text(), reminderText(QStringLiteral("apt-get")));
        for (const QString& c : clicks) {
            QVERIFY(change.answers.empty());
            clickReminder(c);
        }
        QCOMPARE(change.answers.size(), std::size_t(1));
        QCOMPARE(int(change.answers[0]), answer);
        // The hook makes the point; the program's own engine is not asked for another.
        QVERIFY(env->restore.requests.empty());
        if (hookReport == "made")
            change.reportMade(QStringLiteral("5"));
        else if (hookReport == "failed")
            change.reportFailed();
        QCOMPARE(bool(frmRPntOK::loaded()), confirmed);
        // The configuration folder goes beside the hook's point, under its number.
        QCOMPARE(env->restore.adopted.size(), std::size_t(hookReport == "made" ? 1 : 0));
        if (hookReport == "made")
            QCOMPARE(env->restore.adopted[0].number, std::uint64_t(5));
        QCOMPARE(MessageBox::shown().size(), std::size_t(hookReport == "failed" ? 1 : 0));
        QVERIFY(!m->Timer1->isActive());
        QVERIFY(m->Timer2->isActive());
    }

    // APT is found by a pass while it downloads, before its hook holds the change: a reminder
    // the user has answered for it is not shown again, and the second one answers the hook too.
    void heldChangeAfterItsInstallerWasFound_data() {
        QTest::addColumn<QString>("found");
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<QStringList>("after");
        QTest::addColumn<int>("answer"); // -1: the reminder is up again, unanswered
        using A = HeldChange::Answer;
        QTest::newRow("yes") << "apt-get" << QStringList{"Yes"} << QStringList{} << int(A::Go);
        QTest::newRow("no, OK") << "apt-get" << QStringList{"No", "OK"} << QStringList{}
                                << int(A::Go);
        QTest::newRow("no, held, create")
            << "apt-get" << QStringList{"No"} << QStringList{"Create"} << int(A::Point);
        QTest::newRow("no, held, OK")
            << "apt-get" << QStringList{"No"} << QStringList{"OK"} << int(A::Go);
        QTest::newRow("another installer")
            << "setup.exe" << QStringList{"Yes"} << QStringList{} << -1;
        QTest::newRow("the watch has ended") << "" << QStringList{"Yes"} << QStringList{} << -1;
    }
    void heldChangeAfterItsInstallerWasFound() {
        QFETCH(QString, found);
        QFETCH(QStringList, before);
        QFETCH(QStringList, after);
        QFETCH(int, answer);
        env->processes.processes = {proc("bash", "10"), proc("apt-get", "20")};
        env->processes.arguments["20"] = {"apt-get", "install", "hello"};
        if (found == "setup.exe")
            env->processes.processes = {proc("bash", "10"), proc("setup.exe", "30")};
        m->scanForInstaller();
        QVERIFY(frmDialog::loaded());
        for (const QString& c : before)
            clickReminder(c);
        if (found.isEmpty()) {
            // The installer is gone, the watch ends: a later change is a new one.
            env->processes.processes = {proc("bash", "10")};
            m->waitForInstallerEnd();
            QVERIFY(!m->Timer2->isActive());
        }
        FakeHeldChange change(QStringLiteral("apt-get"));
        m->holdChange(&change);
        QCOMPARE(bool(frmDialog::loaded()), answer < 0);
        for (const QString& c : after)
            clickReminder(c);
        if (answer < 0) {
            QVERIFY(change.answers.empty());
            QCOMPARE(frmDialog::loaded()->Label1->text(), reminderText(QStringLiteral("apt-get")));
            return;
        }
        QCOMPARE(change.answers.size(), std::size_t(1));
        QCOMPARE(int(change.answers[0]), answer);
        QVERIFY(env->restore.requests.empty());
    }

    void heldChangeSettings_data() {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<int>("answer"); // -1: waits for the user
        QTest::addColumn<int>("holdSeconds");
        using A = HeldChange::Answer;
        QTest::newRow("defaults") << QByteArray("[Options]\nShowSplashStartUP=0\n") << -1 << 120;
        QTest::newRow("hooks off") << QByteArray("[Detect]\nHooks=0\n") << int(A::Off) << 120;
        QTest::newRow("no wait") << QByteArray("[Detect]\nHoldSeconds=0\n") << int(A::Auto) << 0;
        QTest::newRow("longer than the hook waits")
            << QByteArray("[Detect]\nHoldSeconds=900\n") << -1 << 120;
        QTest::newRow("not a number") << QByteArray("[Detect]\nHoldSeconds=soon\n") << -1 << 120;
        QTest::newRow("one second") << QByteArray("[Detect]\nHoldSeconds=1\n") << -1 << 1;
    }
    void heldChangeSettings() {
        QFETCH(QByteArray, ini);
        QFETCH(int, answer);
        QFETCH(int, holdSeconds);
        delete m;
        env->writeSettings(ini);
        m = frmMain::instance();
        FakeHeldChange change(QStringLiteral("dpkg"));
        m->holdChange(&change);
        if (answer >= 0) {
            QCOMPARE(change.answers.size(), std::size_t(1));
            QCOMPARE(int(change.answers[0]), answer);
            QVERIFY(!frmDialog::loaded());
            return;
        }
        QVERIFY(change.answers.empty());
        QVERIFY(frmDialog::loaded());
        if (holdSeconds == 1) {
            // Unanswered, the install goes on with the hook's own point; the reminder stays.
            QTRY_COMPARE_WITH_TIMEOUT(change.answers.size(), std::size_t(1), 10000);
            QCOMPARE(int(change.answers[0]), int(HeldChange::Answer::Auto));
            QVERIFY(frmDialog::loaded());
        }
    }

    void heldChangeThatGoesAwayIsNotAnswered() {
        FakeHeldChange change(QStringLiteral("apt-get"));
        m->holdChange(&change);
        change.leave();
        // The next pass announces what it finds again.
        env->processes.processes = {proc("setup.exe")};
        m->scanForInstaller();
        QCOMPARE(frmDialog::loaded()->Label1->text(), reminderText(QStringLiteral("setup.exe")));
        QTest::mouseClick(frmDialog::loaded()->Picture1, Qt::LeftButton);
        QVERIFY(change.answers.empty());
    }

    // ---- the automatic restore point ----

    void createRestorePointHidesConfirmsAndUnloads() {
        m->secondMessage();
        frmDialog2* d2 = frmDialog2::loaded();
        bool hiddenDuringCall = false;
        env->restore.duringCreate = [&] { hiddenDuringCall = !d2->isVisible(); };
        QTest::mouseClick(d2->Picture3, Qt::LeftButton);
        QVERIFY(hiddenDuringCall);
        QCOMPARE(env->restore.requests.size(), std::size_t(1));
        QCOMPARE(env->restore.requests[0].description, std::string("QMAutoResPnt"));
        QCOMPARE(env->restore.requests[0].type, 12);
        QCOMPARE(env->restore.requests[0].eventType, 100);
        QVERIFY(!frmDialog2::loaded());
        frmRPntOK* ok = frmRPntOK::loaded();
        QVERIFY(ok && ok->isVisible());
        QVERIFY(!ok->isModal());
        QVERIFY(!(ok->windowFlags() & Qt::WindowStaysOnTopHint));
        QCOMPARE(ok->Label1->text(), QStringLiteral("Restore Point Created Successfully!"));
        QCOMPARE(ok->windowTitle(), QStringLiteral("Restore point Created"));
        QVERIFY(m->Timer2->isActive()); // the timers are not touched
        QTest::mouseClick(ok->Picture1, Qt::LeftButton);
        QVERIFY(!frmRPntOK::loaded());
    }

    void failedRestorePointIsReportedWithoutConfirmation() {
        m->secondMessage();
        frmDialog2* d2 = frmDialog2::loaded();
        env->restore.createFailure = PlatformError{3, "No permissions."};
        QTest::mouseClick(d2->Picture3, Qt::LeftButton);
        QCOMPARE(MessageBox::shown().size(), std::size_t(1));
        QCOMPARE(MessageBox::shown()[0].title, QStringLiteral("System Error!"));
        QCOMPARE(MessageBox::shown()[0].text,
                 QStringLiteral("An error has occurred - Code: 3 Description: No permissions."));
        QCOMPARE(frmDialog2::loaded(), d2); // hidden, still loaded
        QVERIFY(!d2->isVisible());
        QVERIFY(!frmRPntOK::loaded());
    }

    void okClosesTheSecondReminderOnly() {
        m->secondMessage();
        QTest::mouseClick(frmDialog2::loaded()->Picture1, Qt::LeftButton);
        QVERIFY(!frmDialog2::loaded());
        QVERIFY(m->Timer2->isActive());
        QVERIFY(env->restore.requests.empty());
    }

    // A tick or another answer that arrives while the error box waits must not pull the
    // window out from under the handler that opened the box.
    void eventsDuringTheErrorBoxAreSafe() {
        m->secondMessage();
        frmDialog2* d2 = frmDialog2::loaded();
        env->restore.createFailure = PlatformError{5, "Busy"};
        MessageBox::setWhileOpen([&] {
            QTest::mouseClick(d2->Picture1, Qt::LeftButton); // OK: unloads the window
            flushDeletes();                                  // must not delete it yet
            m->secondMessage();                              // a new cycle's second reminder
            env->processes.processes = {proc("bash")};
            m->waitForInstallerEnd();
        });
        QTest::mouseClick(d2->Picture3, Qt::LeftButton);
        flushDeletes();
        QVERIFY(frmDialog2::loaded());
        QVERIFY(frmDialog2::loaded() != d2 || d2->isVisible());
        QVERIFY(!frmRPntOK::loaded());
        QVERIFY(m->Timer1->isActive());
    }
};

QTEST_MAIN(TestMonitor)
#include "test_monitor.moc"

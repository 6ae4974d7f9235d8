#include "TestSupport.h"
#include "mainwin/frmMain.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QHeaderView>
#include <QMenu>
#include <QMenuBar>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

using namespace vigilorn;
using test::proc;

class TestMainWindow : public QObject {
    Q_OBJECT
    std::unique_ptr<test::FakeServices> env;
    frmMain* m = nullptr;

    QStringList column(int c) {
        QStringList out;
        for (int r = 0; r < m->MSFlexGrid1()->rowCount(); ++r)
            out << m->MSFlexGrid1()->item(r, c)->text();
        return out;
    }
    void rightRelease() {
        QWidget* vp = m->MSFlexGrid1()->viewport();
        QTest::mouseRelease(vp, Qt::RightButton, {}, QPoint(5, 5));
    }

private slots:
    void init() {
        env = std::make_unique<test::FakeServices>();
        env->processes.processes = {proc("systemd", "1", "root"), proc("bash", "4", "alice"),
                                    proc("notepad.exe", "77", "alice")};
        m = frmMain::instance();
        m->show();
    }
    void cleanup() {
        delete m;
        env.reset();
    }

    void layout() {
        QCOMPARE(m->centralWidget()->size(), QSize(554, 236));
        QCOMPARE(m->MSFlexGrid1()->geometry(), QRect(16, 8, 529, 177));
        QCOMPARE(m->Picture1->geometry().topLeft(), QPoint(6, 192));
        QCOMPARE(m->Picture4->geometry(), QRect(454, 192, 93, 25));
        QCOMPARE(m->MSFlexGrid1()->toolTip(),
                 QStringLiteral("Click on a process then Right Click to Kill the Process"));
        QVERIFY(!m->MSFlexGrid1()->isVisible());
    }

    void gridListsEveryProcessInOrder() {
        QTest::mouseClick(m->Picture1, Qt::LeftButton);
        QTableWidget* g = m->MSFlexGrid1();
        QVERIFY(g->isVisible());
        QCOMPARE(g->columnCount(), 3);
        QCOMPARE(g->horizontalHeaderItem(0)->text(), QStringLiteral("Process"));
        QCOMPARE(g->horizontalHeaderItem(1)->text(), QStringLiteral("User"));
        QCOMPARE(g->horizontalHeaderItem(2)->text(), QStringLiteral("PID"));
        QCOMPARE(g->columnWidth(0), 233);
        QCOMPARE(g->columnWidth(1), 193);
        QCOMPARE(g->columnWidth(2), 67);
        QCOMPARE(column(0), QStringList({"systemd", "bash", "notepad.exe"}));
        QCOMPARE(column(1), QStringList({"root", "alice", "alice"}));
        QCOMPARE(column(2), QStringList({"1", "4", "77"}));
        QVERIFY(!m->processSelected);
        QCOMPARE(g->editTriggers(), QAbstractItemView::NoEditTriggers);
        // A second refresh rebuilds, it does not append.
        m->ListProcesses();
        QCOMPARE(g->rowCount(), 3);
        // The user acts on the list: each refresh reads it afresh, not from the monitor's store.
        QCOMPARE(env->processes.fullPassRequests, 2);
    }

    void namesAreShownAsTheyAre() {
        env->processes.processes = {proc("a b;$(rm -rf ~)\"q'\n"),
                                    proc(std::string(255, 'x').c_str())};
        m->ListProcesses();
        QCOMPARE(column(0)[0], QStringLiteral("a b;$(rm -rf ~)\"q'\n"));
        QCOMPARE(column(0)[1].size(), 255);
    }

    void failureBeforeTheWalkIsReportedAndLeavesTheGrid() {
        m->ListProcesses();
        env->processes.queryFailure = PlatformError{13, "Permission denied"};
        QTest::mouseClick(m->Picture1, Qt::LeftButton);
        QCOMPARE(MessageBox::shown().size(), std::size_t(1));
        QCOMPARE(MessageBox::shown()[0].text,
                 QStringLiteral("An error has occurred - Code: 13 Description: Permission denied"));
        QCOMPARE(m->MSFlexGrid1()->rowCount(), 3);
    }

    void failureDuringTheWalkIsIgnored() {
        env->processes.failAfter = 2;
        m->ListProcesses();
        QVERIFY(MessageBox::shown().empty());
        QCOMPARE(column(0), QStringList({"systemd", "bash"}));
    }

    void popupOnlyAfterASelectionChange() {
        m->ListProcesses();
        rightRelease();
        QVERIFY(!m->mnuprocess->isVisible());
        m->MSFlexGrid1()->setCurrentCell(1, 0);
        QVERIFY(m->processSelected);
        rightRelease();
        QVERIFY(m->mnuprocess->isVisible());
        m->mnuprocess->hide();
        QTest::mouseRelease(m->MSFlexGrid1()->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
        QVERIFY(!m->mnuprocess->isVisible());
        m->ListProcesses(); // every refresh clears the flag
        QVERIFY(!m->processSelected);
        QCOMPARE(m->mnuKillProcess->text(), QStringLiteral("Kill Selected Process"));
    }

    void killCancelledChangesNothing() {
        m->ListProcesses();
        m->MSFlexGrid1()->setCurrentCell(2, 0);
        const int before = env->processes.enumerations;
        MessageBox::setNextAnswer(QMessageBox::Cancel);
        m->mnuKillProcess->trigger();
        QVERIFY(env->ender.names.empty());
        QVERIFY(env->ender.pids.empty());
        QCOMPARE(env->processes.enumerations, before);
        QVERIFY(m->processSelected);
        const auto& box = MessageBox::shown().at(0);
        QCOMPARE(box.title, QStringLiteral("Kill Process?"));
        QCOMPARE(box.icon, QMessageBox::Question);
        QCOMPARE(box.buttons, QMessageBox::Ok | QMessageBox::Cancel);
        QCOMPARE(box.text,
                 QStringLiteral("Are you sure you want to Kill the Process: notepad.exe?\r\n"
                                "This can cause un-desirable results!\r\n"
                                "This will stop ALL instances of the selected process!"));
    }

    void killConfirmedUsesTheNameRuleAndRefreshesTwice() {
        QFETCH(int, row);
        QFETCH(int, col);
        QFETCH(QString, expected);
        QFETCH(bool, byPid);
        ProcessEntry app = proc("my.app.exe", "900", "bob");
        app.startTime = 4242424242424ull;
        env->processes.processes.push_back(app);
        env->processes.processes.push_back(proc("2", "3", "1000"));
        m->ListProcesses();
        m->MSFlexGrid1()->setCurrentCell(row, col);
        const int before = env->processes.enumerations;
        MessageBox::setNextAnswer(QMessageBox::Ok);
        m->mnuKillProcess->trigger();
        if (byPid) {
            QVERIFY(env->ender.names.empty());
            QCOMPARE(env->ender.pids.size(), std::size_t(1));
            QCOMPARE(QString::fromStdString(env->ender.pids[0].pid), expected);
            // The start time of the row, not of whatever holds the PID now.
            QCOMPARE(env->ender.pids[0].startTime, app.startTime);
        } else {
            QVERIFY(env->ender.pids.empty());
            QCOMPARE(env->ender.names.size(), std::size_t(1));
            QCOMPARE(QString::fromStdString(env->ender.names[0]), expected);
        }
        QCOMPARE(env->processes.enumerations, before + 2);
        QVERIFY(!m->processSelected);
        QCOMPARE(MessageBox::shown().size(), std::size_t(1)); // the question only
    }
    void killConfirmedUsesTheNameRuleAndRefreshesTwice_data() {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("col");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<bool>("byPid");
        QTest::newRow("extension cut") << 2 << 0 << "notepad" << false;
        QTest::newRow("cut at the first dot") << 3 << 0 << "my" << false;
        QTest::newRow("no dot") << 1 << 0 << "bash" << false;
        QTest::newRow("user column") << 3 << 1 << "bob" << false;
        QTest::newRow("pid column") << 3 << 2 << "900" << true;
        // Anyone may name a process "2", and a uid without an account is shown in digits.
        QTest::newRow("digits in the process column") << 4 << 0 << "2" << false;
        QTest::newRow("digits in the user column") << 4 << 1 << "1000" << false;
    }

    void killByPidOfAProcessThatChangedOrFailed() {
        QFETCH(int, outcome);
        QFETCH(QString, message);
        m->ListProcesses();
        m->MSFlexGrid1()->setCurrentCell(2, 2);
        if (outcome == PidEnd::Failed)
            env->ender.failure = PlatformError{24, "Too many open files"};
        env->ender.pidOutcome = static_cast<PidEnd::Outcome>(outcome);
        const int before = env->processes.enumerations;
        MessageBox::setNextAnswer(QMessageBox::Ok);
        m->mnuKillProcess->trigger();
        QCOMPARE(env->ender.pids.size(), std::size_t(1));
        QCOMPARE(env->processes.enumerations, before + 2);
        const auto& shown = MessageBox::shown();
        QCOMPARE(shown.size(), std::size_t(message.isEmpty() ? 1 : 2));
        if (!message.isEmpty())
            QCOMPARE(shown.back().text, message);
    }
    void killByPidOfAProcessThatChangedOrFailed_data() {
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QString>("message");
        QTest::newRow("ended") << int(PidEnd::Signalled) << QString();
        QTest::newRow("not running") << int(PidEnd::NotRunning) << QString();
        QTest::newRow("pid reused") << int(PidEnd::Replaced)
                                    << "The process with PID 77 has ended since the list was "
                                       "made, and another process now has that PID. Nothing was "
                                       "stopped.";
        QTest::newRow("failed") << int(PidEnd::Failed)
                                << "An error has occurred - Code: 24 Description: Too many "
                                   "open files";
    }

    void killPassesRawBytesOfAName() {
        env->processes.processes = {proc("caf\xe9.bin", "5")};
        m->ListProcesses();
        m->MSFlexGrid1()->setCurrentCell(0, 0);
        MessageBox::setNextAnswer(QMessageBox::Ok);
        m->mnuKillProcess->trigger();
        QCOMPARE(env->ender.names.at(0), std::string("caf\xe9"));
    }

    // Only a choice the user made opens the menu: Qt makes the cell under any pressed button
    // current, the right one included.
    void rightClickOnACellIsNoChoiceOfAProcess() {
        m->ListProcesses();
        QTableWidget* g = m->MSFlexGrid1();
        QWidget* vp = g->viewport();
        const QPoint bash = g->visualItemRect(g->item(1, 0)).center();
        const QPoint notepad = g->visualItemRect(g->item(2, 0)).center();
        QTest::mousePress(vp, Qt::RightButton, {}, notepad);
        QTest::mouseRelease(vp, Qt::RightButton, {}, notepad);
        QVERIFY(!m->processSelected);
        QVERIFY(!g->currentItem());
        QVERIFY(!m->mnuprocess->isVisible());
        QTest::mouseClick(vp, Qt::MiddleButton, {}, notepad);
        QVERIFY(!m->processSelected);

        QTest::mouseClick(vp, Qt::LeftButton, {}, bash);
        QVERIFY(m->processSelected);
        QTest::mousePress(vp, Qt::RightButton, {}, notepad);
        QTest::mouseRelease(vp, Qt::RightButton, {}, notepad);
        QVERIFY(m->mnuprocess->isVisible());
        m->mnuprocess->hide();
        QCOMPARE(g->currentItem(), g->item(1, 0)); // the kill names what was chosen
        m->ListProcesses();
        g->setFocus();
        QTest::keyClick(g, Qt::Key_Down);
        QVERIFY(m->processSelected);
    }

    void trayNotifications() {
        m->hide();
        m->trayActivated(QSystemTrayIcon::Trigger);
        QVERIFY(!m->isVisible());
        m->trayActivated(QSystemTrayIcon::MiddleClick);
        QVERIFY(!m->isVisible());
        m->trayActivated(QSystemTrayIcon::DoubleClick);
        QVERIFY(m->isVisible());
        m->trayActivated(QSystemTrayIcon::Context);
        QVERIFY(m->mnuTray->isVisible());
        m->mnuTray->hide();
        QStringList items;
        for (QAction* a : m->mnuTray->actions())
            items << a->text();
        QCOMPARE(items,
                 QStringList({"About", "&Show Main", "&Check for Updates", "E&xit Program"}));
    }

    void mouseMovesAreNotTrayNotifications() {
        m->hide();
        m->show();
        for (int x : {515, 517})
            QTest::mouseMove(m->centralWidget(), QPoint(x, 10));
        QVERIFY(!m->mnuTray->isVisible());
        QVERIFY(m->isVisible());
    }

    void menuBarCaptions() {
        QStringList top;
        for (QAction* a : m->menuBar()->actions())
            top << a->text();
        QCOMPARE(top, QStringList({"Quillmere Vigilorn               ", "&File", "&Options",
                                   "&Restore", "&Help", "Updates"}));
        auto items = [](QMenu* menu) {
            QStringList out;
            for (QAction* a : menu->actions())
                out << a->text();
            return out;
        };
        QCOMPARE(items(m->mnuFile), QStringList({"E&xit"}));
        QCOMPARE(items(m->mnuOptions), QStringList({"&Program Options"}));
        QCOMPARE(items(m->mnuRestore),
                 QStringList({"&Show Restore Points", "&Create New Restore Point"}));
        QCOMPARE(items(m->mnuHelp), QStringList({"Pro&gram Help", "&About"}));
        QCOMPARE(items(m->mnuUpdates), QStringList({"Check at www.quillmere.com"}));
        QVERIFY(!m->mnuTitle->isEnabled());
        QVERIFY(!m->mnuTitle->menu());
    }

    void borderButtons() {
        QTest::mouseClick(m->Picture2, Qt::LeftButton);
        QCOMPARE(m->windowTitle(), QStringLiteral("Quillmere Vigilorn"));
        QVERIFY(!m->mnuTitle->isVisible());
        QVERIFY(!(m->windowFlags() & Qt::FramelessWindowHint));
        QVERIFY(m->isVisible());
        QTest::mouseClick(m->Picture2, Qt::LeftButton);
        QCOMPARE(m->windowTitle(), QStringLiteral("Quillmere Vigilorn"));
        QTest::mouseClick(m->Picture3, Qt::LeftButton);
        QCOMPARE(m->windowTitle(), QString());
        QVERIFY(m->mnuTitle->isVisible());
        QVERIFY(m->windowFlags() & Qt::FramelessWindowHint);
        QVERIFY(m->isVisible());
    }

    void menuCommandsOpenTheirWindowsModallyOverTheMainWindow() {
        const std::vector<std::pair<QAction*, QString>> commands = {{m->mnuProgOpts, "frmOptions"},
                                                                    {m->mnuHelpProgram, "frmHelp"},
                                                                    {m->mnuAbout, "frmAbout"},
                                                                    {m->mnuTabout, "frmAbout"}};
        for (const auto& [action, name] : commands) {
            QString seen;
            QTimer::singleShot(0, [&, name = name] {
                auto* w = qobject_cast<QDialog*>(QApplication::activeModalWidget());
                QVERIFY(w);
                seen = w->objectName();
                QCOMPARE(w->windowModality(), Qt::WindowModal);
                QCOMPARE(w->parentWidget(), m);
                w->reject();
            });
            action->trigger();
            QCOMPARE(seen, name);
        }
        // About from the tray while the main window is hidden leaves it hidden.
        m->hide();
        QTimer::singleShot(
            0, [] { qobject_cast<QDialog*>(QApplication::activeModalWidget())->reject(); });
        m->mnuTabout->trigger();
        QVERIFY(!m->isVisible());
    }

    void updateCommand() {
        m->mnuCheckAction->trigger();
        QCOMPARE(env->openedUrls.size(), std::size_t(1));
        QCOMPARE(env->openedUrls[0], QUrl(Module1::services.vendorUrl));
        QVERIFY(MessageBox::shown().empty());
        env->openUrlSucceeds = false;
        m->mnuTcheck->trigger();
        QCOMPARE(MessageBox::shown().size(), std::size_t(1));
        QCOMPARE(MessageBox::shown()[0].text,
                 QStringLiteral("An error has occurred - Code: 17 Description: Can't perform "
                                "requested operation"));
        QVERIFY(m->isVisible());
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_main_window.moc"

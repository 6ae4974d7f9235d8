#include "Main.h"
#include "TestSupport.h"
#include "app/DisplayChoice.h"
#include "dialogs/frmSplash.h"
#include "mainwin/frmMain.h"
#include "restore/frmChanges.h"

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include <chrono>

using namespace vigilorn;

class TestStartup : public QObject {
    Q_OBJECT

    void cleanupWindows() {
        delete frmMain::loaded();
        delete frmSplash::loaded();
    }

private slots:
    void init() {
        frmSplash::resetShownForTesting();
        frmMain::trayWaitLimit = std::chrono::milliseconds(30000);
        frmMain::trayProbe = nullptr;
    }
    void cleanup() {
        cleanupWindows();
        frmMain::trayProbe = nullptr;
    }

    void firstRun() {
        test::FakeServices env;
        Module1::restorePointConfirmed = true;
        Module1::Main();
        QVERIFY(MessageBox::shown().empty());
        QVERIFY(frmSplash::loaded() && frmSplash::loaded()->isVisible());
        frmMain* m = frmMain::loaded();
        QVERIFY(m && m->isVisible());
        QCOMPARE(m->windowTitle(), QString());
        QVERIFY(m->mnuTitle->isVisible());
        QVERIFY(!m->mnuTitle->isEnabled());
        QCOMPARE(m->mnuTitle->text(), QStringLiteral("Quillmere Vigilorn               "));
        QVERIFY(m->windowFlags() & Qt::FramelessWindowHint);
        QCOMPARE(Module1::AppOptions.RunAtStartUP, 0);
        QVERIFY(!Module1::restorePointConfirmed);
        QVERIFY(m->Timer1->isActive());
        QCOMPARE(m->Timer1->interval(), 10000);
        QVERIFY(!m->Timer2->isActive());
        QVERIFY(!m->processSelected);
        QVERIFY(!m->MSFlexGrid1()->isVisible());
        // The running file itself, wherever the settings say the program's folder is.
        QCOMPARE(Module1::exePath,
                 QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath());
    }

    // Ended by the system after a restore whose root command failed: the status is 0, and the
    // comparison the Changes window starts afterwards stops before the services it reads go.
    void endsAfterAFailedRestore_data() {
        QTest::addColumn<bool>("whileFailureShown");
        QTest::newRow("while the failure is shown") << true;
        QTest::newRow("during the comparison after it") << false;
    }
    void endsAfterAFailedRestore() {
        QFETCH(bool, whileFailureShown);
        auto env = std::make_unique<test::FakeServices>();
        env->changes.changes = {
            {Change::Area::System, Change::Kind::Changed, "/etc/hostname", {}, {}}};
        env->changes.restorePlan.rootCommand =
            Command{"/usr/bin/snapper", {"-c", "root", "undochange", "3..0"}};
        env->changes.runFailure =
            PlatformError{RestoreChanges::kCommandFailed,
                          "/usr/bin/snapper -c root undochange 3..0 failed with exit code 1."};
        Module1::Main();
        frmChanges* w = frmChanges::showFor("3", frmMain::loaded());
        QTRY_VERIFY_WITH_TIMEOUT(!w->isComparing(), 20000);
        env->changes.untilCancelled = true;
        if (whileFailureShown)
            MessageBox::setWhileOpen(Module1::EndRequested);
        else
            connect(w, &frmChanges::restoreFinished, w,
                    [] { QTimer::singleShot(0, Module1::EndRequested); });
        QTest::mouseClick(w->cmdRestore, Qt::LeftButton);
        auto* confirm = w->findChild<frmRestoreConfirm*>();
        QVERIFY(confirm);
        confirm->chkRun->setChecked(true);
        QTimer::singleShot(0, confirm->cmdOK,
                           [confirm] { QTest::mouseClick(confirm->cmdOK, Qt::LeftButton); });

        QCOMPARE(QApplication::exec(), 0);
        QCOMPARE(env->changes.ran.size(), std::size_t(1));
        QCOMPARE(MessageBox::shown().back().title, QStringLiteral("Restore failed"));
        QTRY_COMPARE_WITH_TIMEOUT(env->changes.comparing.load(), 1, 20000);
        Module1::End();
        QCOMPARE(env->changes.comparing.load(), 0);
        QVERIFY(QApplication::topLevelWidgets().isEmpty());
        QVERIFY(!Module1::services.changes);
        env.reset();
    }

    void optionCombinations_data() {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<bool>("splash");
        QTest::addColumn<bool>("mainVisible");
        QTest::addColumn<bool>("border");
        QTest::newRow("splash 2, border -1")
            << QByteArray("[Options]\nShowSplashStartUP=2\nShowFormBorder=-1\n") << false << true
            << true;
        QTest::newRow("splash 0, border 1")
            << QByteArray("[Options]\nShowSplashStartUP=0\nShowFormBorder=1\n") << false << true
            << true;
        QTest::newRow("minimised 2 is not minimised")
            << QByteArray("[Options]\nStartMinimised=2\n") << true << true << false;
        QTest::newRow("minimised 1")
            << QByteArray("[Options]\nStartMinimised=1\nShowSplashStartUP=0\n") << false << false
            << false;
    }
    void optionCombinations() {
        QFETCH(QByteArray, ini);
        QFETCH(bool, splash);
        QFETCH(bool, mainVisible);
        QFETCH(bool, border);
        test::FakeServices env;
        env.writeSettings(ini);
        Module1::Main();
        QCOMPARE(frmSplash::loaded() != nullptr, splash);
        frmMain* m = frmMain::loaded();
        QVERIFY(m);
        // With no notification area (as here) the window stays reachable, minimised.
        QCOMPARE(m->isVisible() && !m->isMinimized(), mainVisible);
        QCOMPARE(m->windowTitle(), border ? QStringLiteral("Quillmere Vigilorn") : QString());
        QCOMPARE(m->mnuTitle->isVisible(), !border);
        QVERIFY(m->Timer1->isActive());
        QCOMPARE(m->Timer1->interval(), 10000);
    }

    void startMinimisedWithoutTrayWaitsThenStaysOnTaskBarAndSaysSoOnce() {
        test::FakeServices env;
        frmMain::trayWaitLimit = std::chrono::milliseconds(1500);
        env.writeSettings("[Options]\nStartMinimised=1\nShowSplashStartUP=0\n");
        QElapsedTimer clock;
        clock.start();
        Module1::Main();
        frmMain* m = frmMain::loaded();
        // During the wait: hidden, no box, no icon.
        QVERIFY(m->waitingForTray());
        QVERIFY(!m->isVisible());
        QVERIFY(MessageBox::shown().empty());
        QTRY_VERIFY_WITH_TIMEOUT(m->isMinimized(), 20000);
        QVERIFY(clock.elapsed() >= 1500);
        QVERIFY(!m->waitingForTray());
        QCOMPARE(MessageBox::shown().size(), std::size_t(1));
        m->minimize_to_tray();
        QCOMPARE(MessageBox::shown().size(), std::size_t(1));
        QVERIFY(!m->trayIcon());
    }

    void trayAppearingDuringTheWaitTakesTheIcon() {
        test::FakeServices env;
        frmMain::trayWaitLimit = std::chrono::milliseconds(1500);
        bool present = false;
        int looks = 0;
        frmMain::trayProbe = [&] {
            ++looks;
            return present;
        };
        env.writeSettings("[Options]\nStartMinimised=1\nShowSplashStartUP=0\n");
        Module1::Main();
        frmMain* m = frmMain::loaded();
        QTRY_VERIFY_WITH_TIMEOUT(looks >= 2, 10000);
        QVERIFY(!m->trayIcon());
        present = true;
        QTRY_VERIFY_WITH_TIMEOUT(m->trayIcon(), 10000);
        QVERIFY(!m->waitingForTray());
        // Past the limit nothing else happens: still hidden in the tray, and no box.
        QTest::qWait(2000);
        QVERIFY(!m->isVisible());
        QVERIFY(MessageBox::shown().empty());
        QCOMPARE(m->trayIcon()->toolTip(), QStringLiteral("Quillmere Vigilorn"));
    }

    void anotherStartDuringTheWaitShowsTheWindowAndEndsTheWait() {
        test::FakeServices env;
        frmMain::trayWaitLimit = std::chrono::milliseconds(1000);
        frmMain::trayProbe = [] { return false; };
        env.writeSettings("[Options]\nStartMinimised=1\nShowSplashStartUP=0\n");
        Module1::Main();
        frmMain* m = frmMain::loaded();
        QVERIFY(m->waitingForTray());
        m->bringForward();
        QVERIFY(m->isVisible() && !m->isMinimized());
        QVERIFY(!m->waitingForTray());
        QTest::qWait(1800);
        QVERIFY(m->isVisible() && !m->isMinimized());
        QVERIFY(MessageBox::shown().empty());
    }

    void bringForwardRestoresTheTaskBarFallback() {
        test::FakeServices env;
        frmMain::trayProbe = [] { return false; };
        Module1::Main();
        frmMain* m = frmMain::loaded();
        m->minimize_to_tray(); // no tray: minimised at once, outside start-up
        QVERIFY(m->isMinimized());
        m->bringForward();
        QVERIFY(m->isVisible() && !m->isMinimized());
    }

    void platformChoice_data() {
        QTest::addColumn<QByteArray>("qpa");
        QTest::addColumn<QByteArray>("display");
        QTest::addColumn<QByteArray>("wayland");
        QTest::addColumn<QByteArray>("wanted");
        QTest::newRow("X only") << QByteArray() << QByteArray(":0") << QByteArray()
                                << QByteArray("xcb");
        QTest::newRow("Wayland with Xwayland")
            << QByteArray() << QByteArray(":1") << QByteArray("wayland-0")
            << QByteArray("xcb;wayland");
        QTest::newRow("Wayland without X")
            << QByteArray() << QByteArray() << QByteArray("wayland-0") << QByteArray();
        QTest::newRow("user chose wayland")
            << QByteArray("wayland") << QByteArray(":0") << QByteArray("wayland-0") << QByteArray();
        QTest::newRow("user chose offscreen")
            << QByteArray("offscreen") << QByteArray(":0") << QByteArray() << QByteArray();
        QTest::newRow("empty choice is no choice")
            << QByteArray("") << QByteArray(":0") << QByteArray() << QByteArray("xcb");
        QTest::newRow("empty display")
            << QByteArray() << QByteArray("") << QByteArray("wayland-1") << QByteArray();
        QTest::newRow("nothing") << QByteArray() << QByteArray() << QByteArray() << QByteArray();
    }
    void platformChoice() {
        QFETCH(QByteArray, qpa);
        QFETCH(QByteArray, display);
        QFETCH(QByteArray, wayland);
        QFETCH(QByteArray, wanted);
        // A null text is an unset variable; an empty one is set to nothing.
        auto arg = [](const QByteArray& v) { return v.isNull() ? nullptr : v.constData(); };
        QCOMPARE(QByteArray::fromStdString(preferredPlatform(arg(qpa), arg(display), arg(wayland))),
                 wanted);
    }

    void badValueReportedOnceStartGoesOn() {
        test::FakeServices env;
        env.writeSettings("[Options]\nShowSplashStartUP=abc\nShowFormBorder=1\n");
        Module1::Main();
        QCOMPARE(MessageBox::shown().size(), std::size_t(1));
        QCOMPARE(MessageBox::shown()[0].title, QStringLiteral("System Error!"));
        QCOMPARE(MessageBox::shown()[0].text,
                 QStringLiteral("An error has occurred - Code: 13 Description: Type mismatch"));
        QCOMPARE(Module1::AppOptions.ShowSplashStartUP, 1); // its default
        QCOMPARE(Module1::AppOptions.ShowFormBorder, 1);    // the others are still read
        QVERIFY(frmSplash::loaded());
        QVERIFY(frmMain::loaded()->isVisible());
    }

    void unreadableSettingsFileStartsWithDefaults() {
        test::FakeServices env;
        // A folder where the file should be cannot be read, not even by root.
        QVERIFY(QDir().mkpath(QDir(env.configDir()).filePath(QStringLiteral("QMVigilornApp.ini"))));
        env.writeSettings({}); // reopens the store; the write itself fails on the folder
        env.settings =
            std::make_unique<SettingsStore>(QStringLiteral("QMVigilornApp"), env.configDir());
        env.install();
        Module1::Main();
        QCOMPARE(MessageBox::shown().size(), std::size_t(1));
        QVERIFY(MessageBox::shown()[0].text.startsWith(
            QStringLiteral("An error has occurred - Code: ")));
        QVERIFY(MessageBox::shown()[0].text.contains(QStringLiteral("QMVigilornApp.ini")));
        QCOMPARE(Module1::AppOptions.ShowSplashStartUP, 1);
        QVERIFY(frmMain::loaded()->isVisible());
    }

    void startUpWritesNothing() {
        test::FakeServices env;
        Module1::Main();
        cleanupWindows();
        QVERIFY(!QFileInfo::exists(env.settings->fileName()));
    }

    void splashClosesAfterItsInterval() {
        test::FakeServices env;
        Module1::Main();
        frmSplash* s = frmSplash::loaded();
        QVERIFY(s);
        QCOMPARE(s->Timer1->interval(), 3500);
        QVERIFY(s->Timer1->isActive());
        QMetaObject::invokeMethod(s->Timer1, "timeout");
        QVERIFY(!frmSplash::loaded());
        QVERIFY(frmMain::loaded()->isVisible()); // the main window is not affected
    }
};

QTEST_MAIN(TestStartup)
#include "test_startup.moc"

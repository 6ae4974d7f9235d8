#include "TestSupport.h"
#include "dialogs/frmSplash.h"
#include "mainwin/frmMain.h"

#include <QAction>
#include <QDir>
#include <QFileInfo>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

using namespace vigilorn;

class TestStartup : public QObject {
    Q_OBJECT

    void cleanupWindows() {
        delete frmMain::loaded();
        delete frmSplash::loaded();
    }

private slots:
    void init() { frmSplash::resetShownForTesting(); }
    void cleanup() { cleanupWindows(); }

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
        QVERIFY(!m->MSFlexGrid1->isVisible());
        // The running file itself, wherever the settings say the program's folder is.
        QCOMPARE(Module1::exePath,
                 QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath());
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

    void startMinimisedWithoutTrayStaysOnTaskBarAndSaysSoOnce() {
        test::FakeServices env;
        env.writeSettings("[Options]\nStartMinimised=1\nShowSplashStartUP=0\n");
        Module1::Main();
        frmMain* m = frmMain::loaded();
        QVERIFY(m->isMinimized());
        QCOMPARE(MessageBox::shown().size(), std::size_t(1));
        m->minimize_to_tray();
        QCOMPARE(MessageBox::shown().size(), std::size_t(1));
        QVERIFY(!m->trayIcon());
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

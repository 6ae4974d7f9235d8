// About: version, the vendor's page, and the system information tool's look-ups.
#include "DialogTestSupport.h"
#include "dialogs/Version.h"
#include "dialogs/frmAbout.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>

using namespace vigilorn;

class TestFrmAbout : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void showsNameVersionAndEngine();
    void sysInfoLookups_data();
    void sysInfoLookups();
    void sysInfoWithoutLauncherShowsMessage();
    void webPage_data();
    void webPage();
    void okEnterAndEscapeClose_data();
    void okEnterAndEscapeClose();

private:
    DialogTestEnv m_env;
};

void TestFrmAbout::init() {
    m_env.reset();
}

void TestFrmAbout::cleanup() {
    if (auto* f = frmAbout::loaded())
        f->unload();
    flushDeletes();
}

void TestFrmAbout::showsNameVersionAndEngine() {
    QCOMPARE(versionText(), QStringLiteral("Version 3.0.4"));
    frmAbout* f = frmAbout::instance();
    f->show();
    QVERIFY(f->windowTitle().isEmpty());
    QCOMPARE(f->lblTitle->text(), QStringLiteral("Quillmere Vigilorn"));
    QCOMPARE(f->lblVersion->text(), QStringLiteral("Version 3.0.4"));
    QCOMPARE(f->lblDescription->text(),
             QStringLiteral("Monitors your system for Installs and SetUps and reminds you to "
                            "create a System Restore Point"));
    QVERIFY(f->lblEngine->text().contains(QStringLiteral("test engine")));
    QVERIFY(f->lblEngine->geometry().bottom() < f->height());
    verifyEveryControlNamed(f);
}

void TestFrmAbout::sysInfoLookups_data() {
    QTest::addColumn<QString>("toolPath");   // empty: the first look-up fails
    QTest::addColumn<QString>("toolFolder"); // empty: the second look-up fails
    QTest::addColumn<bool>("fileExists");
    QTest::addColumn<bool>("startSucceeds");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<bool>("message");

    QTest::newRow("both look-ups fail")
        << QString() << QString() << false << true
        << QStringList{QStringLiteral("path"), QStringLiteral("folder")} << true;
    QTest::newRow("path found, starts")
        << QStringLiteral("/x/kinfocenter") << QStringLiteral("/usr/bin") << true << true
        << QStringList{QStringLiteral("path"), QStringLiteral("start:/x/kinfocenter")} << false;
    // The path from the first look-up is not tested for existence.
    QTest::newRow("path found, cannot start")
        << QStringLiteral("/x/kinfocenter") << QString() << false << false
        << QStringList{QStringLiteral("path"), QStringLiteral("start:/x/kinfocenter")} << true;
    QTest::newRow("folder, file there, starts")
        << QString() << QStringLiteral("/usr/bin") << true << true
        << QStringList{QStringLiteral("path"), QStringLiteral("folder"),
                       QStringLiteral("exists:/usr/bin/hardinfo"),
                       QStringLiteral("start:/usr/bin/hardinfo")}
        << false;
    QTest::newRow("folder, no file")
        << QString() << QStringLiteral("/usr/bin") << false << true
        << QStringList{QStringLiteral("path"), QStringLiteral("folder"),
                       QStringLiteral("exists:/usr/bin/hardinfo")}
        << true;
    QTest::newRow("folder, file there, cannot start")
        << QString() << QStringLiteral("/usr/bin") << true << false
        << QStringList{QStringLiteral("path"), QStringLiteral("folder"),
                       QStringLiteral("exists:/usr/bin/hardinfo"),
                       QStringLiteral("start:/usr/bin/hardinfo")}
        << true;
}

void TestFrmAbout::sysInfoLookups() {
    QFETCH(QString, toolPath);
    QFETCH(QString, toolFolder);
    QFETCH(bool, fileExists);
    QFETCH(bool, startSucceeds);
    QFETCH(QStringList, calls);
    QFETCH(bool, message);

    auto& l = m_env.sysInfo;
    if (!toolPath.isEmpty())
        l.toolPath = toolPath.toStdString();
    if (!toolFolder.isEmpty())
        l.toolFolder = toolFolder.toStdString();
    if (fileExists)
        l.existingFiles = {toolFolder.toStdString() + "/hardinfo"};
    l.startSucceeds = startSucceeds;

    frmAbout* f = frmAbout::instance();
    f->show();
    f->cmdSysInfo->click();

    QStringList seen;
    for (const auto& c : l.calls)
        seen << QString::fromStdString(c);
    QCOMPARE(seen, calls);
    if (!message) {
        QVERIFY(MessageBox::shown().empty());
        return;
    }
    QCOMPARE(MessageBox::shown().size(), std::size_t(1));
    const auto& box = MessageBox::shown().front();
    QCOMPARE(box.text, QStringLiteral("System Information Is Unavailable At This Time"));
    QCOMPARE(box.title, QStringLiteral("Quillmere Vigilorn"));
    QCOMPARE(box.icon, QMessageBox::NoIcon);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(frmAbout::loaded(), f);
}

void TestFrmAbout::sysInfoWithoutLauncherShowsMessage() {
    Module1::services.sysInfo = nullptr;
    frmAbout::instance()->StartSysInfo();
    QCOMPARE(MessageBox::shown().size(), std::size_t(1));
    QCOMPARE(MessageBox::shown().front().icon, QMessageBox::NoIcon);
}

void TestFrmAbout::webPage_data() {
    QTest::addColumn<int>("opener"); // 0 none, 1 fails, 2 succeeds
    QTest::addColumn<bool>("error");
    QTest::newRow("no way to open pages") << 0 << true;
    QTest::newRow("browser refuses") << 1 << true;
    QTest::newRow("opens") << 2 << false;
}

void TestFrmAbout::webPage() {
    QFETCH(int, opener);
    QFETCH(bool, error);
    QList<QUrl> requested;
    if (opener > 0)
        Module1::services.openUrl = [&requested, opener](const QUrl& u) {
            requested << u;
            return opener == 2;
        };
    frmAbout* f = frmAbout::instance();
    f->show();
    f->Command1->click();
    if (opener > 0)
        QCOMPARE(requested, QList<QUrl>{QUrl(Module1::services.vendorUrl)});
    if (!error) {
        QVERIFY(MessageBox::shown().empty());
        return;
    }
    QCOMPARE(MessageBox::shown().size(), std::size_t(1));
    QCOMPARE(MessageBox::shown().front().title, QStringLiteral("System Error!"));
    QCOMPARE(MessageBox::shown().front().text,
             QStringLiteral("An error has occurred - Code: 17 Description: Can't perform "
                            "requested operation"));
}

void TestFrmAbout::okEnterAndEscapeClose_data() {
    QTest::addColumn<int>("key"); // 0: click Ok
    QTest::newRow("Ok") << 0;
    QTest::newRow("Enter") << int(Qt::Key_Return);
    QTest::newRow("Escape") << int(Qt::Key_Escape);
}

void TestFrmAbout::okEnterAndEscapeClose() {
    QFETCH(int, key);
    frmAbout* f = frmAbout::instance();
    f->show();
    f->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(f));
    QCOMPARE(QApplication::focusWidget(), f->cmdOK);
    QVERIFY(f->cmdOK->isDefault());
    if (key == 0)
        f->cmdOK->click();
    else
        QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
    QVERIFY(!frmAbout::loaded());
    QVERIFY(!f->isVisible());
    QVERIFY(MessageBox::shown().empty());
}

QTEST_MAIN(TestFrmAbout)
#include "test_frmabout.moc"

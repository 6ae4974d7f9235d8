// The Options window against the real autostart entry and a real settings file.
#include "DialogTestSupport.h"
#include "dialogs/frmOptions.h"
#include "platform/linux/XdgAutorun.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPlainTextEdit>
#include <QSettings>

#include <unistd.h>

using namespace vigilorn;

class TestFrmOptions : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void boxesShowStoredOptions_data();
    void boxesShowStoredOptions();
    void controlsNamedAndLabelled();
    void autorunOffWritesNoEntry();
    void autorunOffRemovesOldEntry();
    void autorunOnWritesEntryForPathWithSpaces();
    void startMinimisedFoldsToZeroOrOne_data();
    void startMinimisedFoldsToZeroOrOne();
    void unshowableValueIsKeptUntilChanged();
    void cancelAndOtherClosingSaveNothing_data();
    void cancelAndOtherClosingSaveNothing();
    void okAppliesAndCloses();
    void enterPressesOk();
    void reopeningShowsAppliedValues();
    void autorunWriteFailureIsReportedAndStopsApply();
    void autorunRemovalFailureIsReportedAndStopsApply();
    void unlaunchablePathIsRefusedWithAWarning_data();
    void unlaunchablePathIsRefusedWithAWarning();
    void damagedSettingsFileIsReplacedAfterAWarning();
    void okAfterFailedApplyCloses();
    void settingsWriteFailureIsReported();

private:
    frmOptions* open();
    QString entryPath() const {
        return m_env.path(QStringLiteral("xdg/autostart/QMVigilorn.desktop"));
    }

    DialogTestEnv m_env;
    // The test's own files stand in for root's.
    XdgAutorun m_xdg{::geteuid()};
};

void TestFrmOptions::init() {
    m_env.reset();
    qputenv("XDG_CONFIG_DIRS", m_env.path(QStringLiteral("xdg")).toLocal8Bit());
    QVERIFY(QDir().mkpath(m_env.path(QStringLiteral("xdg"))));
    Module1::services.autorun = &m_xdg;
}

void TestFrmOptions::cleanup() {
    if (auto* f = frmOptions::loaded())
        f->unload();
    flushDeletes();
    QVERIFY(!frmOptions::loaded());
}

frmOptions* TestFrmOptions::open() {
    frmOptions* f = frmOptions::instance();
    f->show();
    return f;
}

void TestFrmOptions::boxesShowStoredOptions_data() {
    QTest::addColumn<int>("runAtStartUp");
    QTest::addColumn<int>("startMinimised");
    QTest::addColumn<int>("showSplash");
    QTest::addColumn<int>("showBorder");
    // Each row gives every box a different value, so a box wired to the wrong option shows.
    QTest::newRow("a") << 1 << 0 << 2 << 0;
    QTest::newRow("b") << 0 << 1 << 0 << 2;
    QTest::newRow("c") << 2 << 0 << 1 << 0;
    QTest::newRow("d") << 0 << 2 << 0 << 1;
}

void TestFrmOptions::boxesShowStoredOptions() {
    QFETCH(int, runAtStartUp);
    QFETCH(int, startMinimised);
    QFETCH(int, showSplash);
    QFETCH(int, showBorder);
    auto& o = Module1::AppOptions;
    o.RunAtStartUP = static_cast<std::int16_t>(runAtStartUp);
    o.StartMinimised = static_cast<std::int16_t>(startMinimised);
    o.ShowSplashStartUP = static_cast<std::int16_t>(showSplash);
    o.ShowFormBorder = static_cast<std::int16_t>(showBorder);
    frmOptions* f = open();
    const Qt::CheckState states[] = {Qt::Unchecked, Qt::Checked, Qt::PartiallyChecked};
    QCOMPARE(f->chkAutoRun->checkState(), states[runAtStartUp]);
    QCOMPARE(f->chkStartMinimised->checkState(), states[startMinimised]);
    QCOMPARE(f->chkSplash->checkState(), states[showSplash]);
    QCOMPARE(f->chkBorder->checkState(), states[showBorder]);
}

void TestFrmOptions::controlsNamedAndLabelled() {
    frmOptions* f = open();
    QCOMPARE(f->windowTitle(), QStringLiteral("Options"));
    QCOMPARE(f->size(), QSize(386, 429));
    verifyEveryControlNamed(f);
    // Each box is announced with its row's text, and its label points at it.
    const std::pair<QLabel*, QCheckBox*> rows[] = {{f->Label2, f->chkAutoRun},
                                                   {f->Label1, f->chkStartMinimised},
                                                   {f->Label4, f->chkSplash},
                                                   {f->Label5, f->chkBorder}};
    for (const auto& [label, box] : rows) {
        QCOMPARE(label->buddy(), box);
        QCOMPARE(box->accessibleName(), label->text());
    }
    QCOMPARE(f->Label1->text(), QStringLiteral("Start mimimised to Tray when Windows starts"));
    // Tab walks the rows from the top, then into the message text and back.
    f->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(f));
    QCOMPARE(QApplication::focusWidget(), f->chkAutoRun);
    const QWidget* order[] = {f->chkStartMinimised, f->chkSplash, f->chkBorder, f->Text1,
                              f->chkAutoRun};
    for (const QWidget* next : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), next);
    }
}

void TestFrmOptions::autorunOffWritesNoEntry() {
    frmOptions* f = open();
    QCOMPARE(f->chkAutoRun->checkState(), Qt::Unchecked);
    f->Picture2->click();
    QVERIFY(MessageBox::shown().empty());
    QCOMPARE(m_env.stored(QStringLiteral("RunAtStartUP")), QStringLiteral("0"));
    QVERIFY(!QFileInfo::exists(entryPath()));
    QVERIFY(!frmOptions::loaded());
}

void TestFrmOptions::autorunOffRemovesOldEntry() {
    QVERIFY(!m_xdg.write("/old/QMVigilornApp"));
    QVERIFY(QFileInfo::exists(entryPath()));
    Module1::AppOptions.RunAtStartUP = 1;
    frmOptions* f = open();
    QTest::mouseClick(f->chkAutoRun, Qt::LeftButton);
    QCOMPARE(f->chkAutoRun->checkState(), Qt::Unchecked);
    f->Picture2->click();
    QVERIFY(!QFileInfo::exists(entryPath()));
    QCOMPARE(m_env.stored(QStringLiteral("RunAtStartUP")), QStringLiteral("0"));
    QCOMPARE(Module1::AppOptions.RunAtStartUP, std::int16_t(0));
}

void TestFrmOptions::autorunOnWritesEntryForPathWithSpaces() {
    frmOptions* f = open();
    QTest::mouseClick(f->chkAutoRun, Qt::LeftButton);
    QCOMPARE(f->chkAutoRun->checkState(), Qt::Checked);
    f->Picture2->click();
    QVERIFY(MessageBox::shown().empty());
    QFile entry(entryPath());
    QVERIFY(entry.open(QIODevice::ReadOnly));
    const QByteArray text = entry.readAll();
    QVERIFY2(text.contains("\nExec=\"" + Module1::exePath.toUtf8() + "\"\n"), text);
    QCOMPARE(m_env.stored(QStringLiteral("RunAtStartUP")), QStringLiteral("1"));
    QCOMPARE(Module1::AppOptions.RunAtStartUP, std::int16_t(1));
}

void TestFrmOptions::startMinimisedFoldsToZeroOrOne_data() {
    QTest::addColumn<int>("stored");
    QTest::addColumn<QString>("saved");
    QTest::newRow("grayed") << 2 << QStringLiteral("0");
    QTest::newRow("checked") << 1 << QStringLiteral("1");
    QTest::newRow("unchecked") << 0 << QStringLiteral("0");
    QTest::newRow("unshowable") << -1 << QStringLiteral("0");
}

void TestFrmOptions::startMinimisedFoldsToZeroOrOne() {
    QFETCH(int, stored);
    QFETCH(QString, saved);
    Module1::AppOptions.StartMinimised = static_cast<std::int16_t>(stored);
    Module1::AppOptions.ShowSplashStartUP = 2;
    open()->Picture2->click();
    QCOMPARE(m_env.stored(QStringLiteral("StartMinimised")), saved);
    QCOMPARE(QString::number(Module1::AppOptions.StartMinimised), saved);
    // The other options keep a grayed value as it is.
    QCOMPARE(m_env.stored(QStringLiteral("ShowSplashStartUP")), QStringLiteral("2"));
}

void TestFrmOptions::unshowableValueIsKeptUntilChanged() {
    Module1::AppOptions.ShowFormBorder = 5;
    Module1::AppOptions.ShowSplashStartUP = -3;
    frmOptions* f = open();
    QCOMPARE(f->chkBorder->checkState(), Qt::Unchecked);
    QCOMPARE(f->chkSplash->checkState(), Qt::Unchecked);
    // Splash changed and changed back: now it is the box's own value.
    QTest::mouseClick(f->chkSplash, Qt::LeftButton);
    QTest::mouseClick(f->chkSplash, Qt::LeftButton);
    QCOMPARE(f->chkSplash->checkState(), Qt::Unchecked);
    f->Picture2->click();
    QCOMPARE(m_env.stored(QStringLiteral("ShowFormBorder")), QStringLiteral("5"));
    QCOMPARE(Module1::AppOptions.ShowFormBorder, std::int16_t(5));
    QCOMPARE(m_env.stored(QStringLiteral("ShowSplashStartUP")), QStringLiteral("0"));
}

void TestFrmOptions::cancelAndOtherClosingSaveNothing_data() {
    QTest::addColumn<int>("how");
    QTest::newRow("Cancel") << 0;
    QTest::newRow("window closed") << 1;
    QTest::newRow("Escape") << 2;
}

void TestFrmOptions::cancelAndOtherClosingSaveNothing() {
    QFETCH(int, how);
    const Options before = Module1::AppOptions;
    frmOptions* f = open();
    QTest::mouseClick(f->chkAutoRun, Qt::LeftButton);
    QTest::mouseClick(f->chkBorder, Qt::LeftButton);
    QTest::mouseClick(f->chkStartMinimised, Qt::LeftButton);
    switch (how) {
    case 0:
        f->Picture3->click();
        break;
    case 1:
        f->close();
        break;
    default:
        QTest::keyClick(f, Qt::Key_Escape);
        break;
    }
    QVERIFY(!frmOptions::loaded());
    QVERIFY(!QFileInfo::exists(m_env.settings->fileName()) ||
            !m_env.hasStored(QStringLiteral("RunAtStartUP")));
    for (const char* key :
         {"RunAtStartUP", "StartMinimised", "ShowSplashStartUP", "ShowFormBorder"})
        QVERIFY2(!m_env.hasStored(QString::fromLatin1(key)), key);
    QVERIFY(!QFileInfo::exists(entryPath()));
    QCOMPARE(Module1::AppOptions.RunAtStartUP, before.RunAtStartUP);
    QCOMPARE(Module1::AppOptions.StartMinimised, before.StartMinimised);
    QCOMPARE(Module1::AppOptions.ShowFormBorder, before.ShowFormBorder);
}

void TestFrmOptions::okAppliesAndCloses() {
    frmOptions* f = open();
    QTest::mouseClick(f->chkBorder, Qt::LeftButton);
    QTest::mouseClick(f->chkSplash, Qt::LeftButton); // default 1 -> unchecked
    f->Picture1->click();
    QVERIFY(MessageBox::shown().empty());
    QVERIFY(!frmOptions::loaded());
    QCOMPARE(m_env.stored(QStringLiteral("RunAtStartUP")), QStringLiteral("0"));
    QCOMPARE(m_env.stored(QStringLiteral("StartMinimised")), QStringLiteral("0"));
    QCOMPARE(m_env.stored(QStringLiteral("ShowSplashStartUP")), QStringLiteral("0"));
    QCOMPARE(m_env.stored(QStringLiteral("ShowFormBorder")), QStringLiteral("1"));
    // Decimal text in the [Options] section of the file itself.
    QFile ini(m_env.settings->fileName());
    QVERIFY(ini.open(QIODevice::ReadOnly));
    const QByteArray text = ini.readAll();
    QVERIFY2(text.contains("[Options]") && text.contains("ShowFormBorder=1"), text);
}

void TestFrmOptions::enterPressesOk() {
    frmOptions* f = open();
    f->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(f));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space); // toggles chkAutoRun
    // In the message text Enter is a new line, not OK.
    f->Text1->setFocus();
    QTest::keyClick(f->Text1, Qt::Key_Return);
    QCOMPARE(frmOptions::loaded(), f);
    f->chkAutoRun->setFocus();
    QTest::keyClick(f->chkAutoRun, Qt::Key_Return);
    QVERIFY(!frmOptions::loaded());
    QCOMPARE(m_env.stored(QStringLiteral("RunAtStartUP")), QStringLiteral("1"));
    QVERIFY(QFileInfo::exists(entryPath()));
}

void TestFrmOptions::reopeningShowsAppliedValues() {
    frmOptions* f = open();
    QTest::mouseClick(f->chkAutoRun, Qt::LeftButton);
    QTest::mouseClick(f->chkStartMinimised, Qt::LeftButton);
    QTest::mouseClick(f->chkSplash, Qt::LeftButton);
    QTest::mouseClick(f->chkBorder, Qt::LeftButton);
    f->Picture2->click();
    flushDeletes();
    frmOptions* again = open();
    QVERIFY(again != nullptr);
    QCOMPARE(again->chkAutoRun->checkState(), Qt::Checked);
    QCOMPARE(again->chkStartMinimised->checkState(), Qt::Checked);
    QCOMPARE(again->chkSplash->checkState(), Qt::Unchecked);
    QCOMPARE(again->chkBorder->checkState(), Qt::Checked);
}

void TestFrmOptions::autorunWriteFailureIsReportedAndStopsApply() {
    // Under a regular file no folder can be made: fails for root too.
    const QString file = m_env.path(QStringLiteral("plainfile"));
    QFile plain(file);
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    qputenv("XDG_CONFIG_DIRS", file.toLocal8Bit());

    frmOptions* f = open();
    QTest::mouseClick(f->chkAutoRun, Qt::LeftButton);
    QTest::mouseClick(f->chkBorder, Qt::LeftButton);
    f->Picture2->click();

    QCOMPARE(MessageBox::shown().size(), std::size_t(1));
    const auto& box = MessageBox::shown().front();
    QCOMPARE(box.title, QStringLiteral("System Error!"));
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.text,
             QStringLiteral("An error has occurred - Code: %1 Description: Not a directory")
                 .arg(ENOTDIR));
    // Nothing after the failed step was saved, and the window is still open.
    for (const char* key :
         {"RunAtStartUP", "StartMinimised", "ShowSplashStartUP", "ShowFormBorder"})
        QVERIFY2(!m_env.hasStored(QString::fromLatin1(key)), key);
    QCOMPARE(Module1::AppOptions.RunAtStartUP, std::int16_t(0));
    QCOMPARE(Module1::AppOptions.ShowFormBorder, std::int16_t(0));
    QCOMPARE(frmOptions::loaded(), f);
    QVERIFY(f->isVisible());
}

void TestFrmOptions::autorunRemovalFailureIsReportedAndStopsApply() {
    // A folder where the entry would be can't be unlinked, by root either.
    QVERIFY(QDir().mkpath(entryPath() + "/inside"));
    Module1::AppOptions.RunAtStartUP = 1;
    frmOptions* f = open();
    QTest::mouseClick(f->chkAutoRun, Qt::LeftButton);
    QCOMPARE(f->chkAutoRun->checkState(), Qt::Unchecked);
    f->Picture2->click();

    QCOMPARE(MessageBox::shown().size(), std::size_t(1));
    const auto& box = MessageBox::shown().front();
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.text, QStringLiteral("An error has occurred - Code: %1 Description: Could not "
                                      "remove %2: Is a directory")
                           .arg(EISDIR)
                           .arg(entryPath()));
    QVERIFY(!m_env.hasStored(QStringLiteral("RunAtStartUP")));
    QCOMPARE(Module1::AppOptions.RunAtStartUP, std::int16_t(1));
    QCOMPARE(frmOptions::loaded(), f);
}

// An entry that could not start the program is refused with a warning before anything is
// written, and Apply saves nothing.
void TestFrmOptions::unlaunchablePathIsRefusedWithAWarning_data() {
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("why");
    QTest::newRow("missing") << QStringLiteral("missing/QMVigilornApp")
                             << QStringLiteral("cannot be found: No such file or directory");
    QTest::newRow("percent") << QStringLiteral("100% sure/QMVigilornApp")
                             << QStringLiteral("its path contains \"%\"");
    QTest::newRow("not executable") << QStringLiteral("plain/QMVigilornApp")
                                    << QStringLiteral("cannot be run: Permission denied");
    QTest::newRow("folder") << QStringLiteral("folder/QMVigilornApp")
                            << QStringLiteral("is not a file");
}

void TestFrmOptions::unlaunchablePathIsRefusedWithAWarning() {
    QFETCH(QString, program);
    QFETCH(QString, why);
    const QString tag = QString::fromLatin1(QTest::currentDataTag());
    const QString exe = m_env.path(program);
    QVERIFY(QDir().mkpath(QFileInfo(exe).absolutePath()));
    if (tag == u"folder") {
        QVERIFY(QDir().mkpath(exe));
    } else if (tag != u"missing") {
        QFile file(exe);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QFileDevice::Permissions perms = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
        if (tag != u"not executable")
            perms |= QFileDevice::ExeOwner;
        QVERIFY(file.setPermissions(perms));
    }
    Module1::exePath = exe;

    frmOptions* f = open();
    QTest::mouseClick(f->chkAutoRun, Qt::LeftButton);
    f->Picture2->click();

    QCOMPARE(MessageBox::shown().size(), std::size_t(1));
    const auto& box = MessageBox::shown().front();
    QCOMPARE(box.icon, QMessageBox::Warning);
    QVERIFY2(box.text.endsWith(why), qPrintable(box.text));
    QVERIFY(!QFileInfo::exists(entryPath()));
    QVERIFY(!m_env.hasStored(QStringLiteral("RunAtStartUP")));
    QCOMPARE(Module1::AppOptions.RunAtStartUP, std::int16_t(0));
    QCOMPARE(frmOptions::loaded(), f);
}

// A settings file that could not be read is replaced only after the user is told so; the save
// then stores every option.
void TestFrmOptions::damagedSettingsFileIsReplacedAfterAWarning() {
    QVERIFY(QDir().mkpath(m_env.path(QStringLiteral("config"))));
    QFile ini(m_env.path(QStringLiteral("config/QMVigilornApp.ini")));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("[Snapper]\nConfig=home\n[Broken\nShowFormBorder=1\n");
    ini.close();
    m_env.settings = std::make_unique<SettingsStore>(QStringLiteral("QMVigilornApp"),
                                                     m_env.path(QStringLiteral("config")));
    Module1::services.settings = m_env.settings.get();
    QVERIFY(m_env.settings->isDamaged());

    frmOptions* f = open();
    QTest::mouseClick(f->chkBorder, Qt::LeftButton);
    f->Picture2->click();

    QCOMPARE(MessageBox::shown().size(), std::size_t(1));
    QCOMPARE(MessageBox::shown().front().icon, QMessageBox::Warning);
    QVERIFY(MessageBox::shown().front().text.contains(m_env.settings->damagedCopyName()));
    QVERIFY(!frmOptions::loaded());
    QCOMPARE(m_env.stored(QStringLiteral("ShowFormBorder")), QStringLiteral("1"));
    QCOMPARE(m_env.stored(QStringLiteral("RunAtStartUP")), QStringLiteral("0"));
    QCOMPARE(m_env.stored(QStringLiteral("StartMinimised")), QStringLiteral("0"));
    QCOMPARE(m_env.stored(QStringLiteral("ShowSplashStartUP")), QStringLiteral("1"));
    QSettings again(m_env.settings->fileName(), QSettings::IniFormat);
    QCOMPARE(again.value(QStringLiteral("Snapper/Config")).toString(), QStringLiteral("home"));
    QVERIFY(QFileInfo::exists(m_env.settings->damagedCopyName()));
}

void TestFrmOptions::okAfterFailedApplyCloses() {
    qputenv("XDG_CONFIG_DIRS", m_env.path(QStringLiteral("missing/xdg")).toLocal8Bit());
    frmOptions* f = open();
    QTest::mouseClick(f->chkAutoRun, Qt::LeftButton);
    f->Picture1->click();
    QCOMPARE(MessageBox::shown().size(), std::size_t(1));
    QCOMPARE(
        MessageBox::shown().front().text,
        QStringLiteral("An error has occurred - Code: %1 Description: No such file or directory")
            .arg(ENOENT));
    QVERIFY(!frmOptions::loaded());
    QVERIFY(!m_env.hasStored(QStringLiteral("RunAtStartUP")));
}

void TestFrmOptions::settingsWriteFailureIsReported() {
    // A settings folder under a regular file cannot be written.
    const QString file = m_env.path(QStringLiteral("plainfile"));
    QFile plain(file);
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    SettingsStore broken(QStringLiteral("QMVigilornApp"), file + QStringLiteral("/config"));
    Module1::services.settings = &broken;
    frmOptions* f = open();
    f->Picture2->click();
    QCOMPARE(MessageBox::shown().size(), std::size_t(1));
    QCOMPARE(MessageBox::shown().front().title, QStringLiteral("System Error!"));
    QVERIFY(frmOptions::loaded());
    f->unload();
    flushDeletes();
}

QTEST_MAIN(TestFrmOptions)
#include "test_frmoptions.moc"

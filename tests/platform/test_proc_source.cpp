// The real /proc source and the real process ender, against processes the test starts.
#include "TestSupport.h"
#include "mainwin/frmMain.h"
#include "monitor/InstallerRule.h"
#include "monitor/frmDialog.h"
#include "platform/Platform.h"
#include "platform/linux/ProcProcessSource.h"
#include "platform/linux/SignalProcessEnder.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>

using namespace vigilorn;

namespace {

// A copy of sleep under the given file name, so the kernel reports that name.
class NamedSleeper {
public:
    NamedSleeper(const QTemporaryDir& dir, const QString& fileName) {
        const QString path = dir.filePath(fileName);
        QFile::remove(path);
        QFile::copy(QStringLiteral("/bin/sleep"), path);
        QFile::setPermissions(path, QFileDevice::ExeOwner | QFileDevice::ReadOwner);
        m_proc.setProgram(path);
        m_proc.setArguments({QStringLiteral("60")});
        m_proc.start();
        m_proc.waitForStarted();
    }
    ~NamedSleeper() {
        m_proc.kill();
        m_proc.waitForFinished();
    }
    QString pid() const { return QString::number(m_proc.processId()); }
    bool running() { return !m_proc.waitForFinished(0) && m_proc.state() == QProcess::Running; }
    bool waitEnded(int ms) { return m_proc.waitForFinished(ms); }

private:
    QProcess m_proc;
};

std::vector<ProcessEntry> listAll(ProcessSource& src) {
    std::vector<ProcessEntry> out;
    src.EnumerateProcesses([&](const ProcessEntry& e) {
        out.push_back(e);
        return true;
    });
    return out;
}

const ProcessEntry* byPid(const std::vector<ProcessEntry>& all, const QString& pid) {
    for (const auto& e : all)
        if (QString::fromStdString(e.processid) == pid)
            return &e;
    return nullptr;
}

std::string myAccount() {
    struct passwd* pw = getpwuid(getuid());
    return pw ? pw->pw_name : std::to_string(getuid());
}

void writeFile(const QString& path, const QByteArray& data) {
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(data);
}

} // namespace

class TestProcSource : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

private slots:
    void realProcessesWithTheirNamesAndOwner() {
        NamedSleeper setup(dir, QStringLiteral("MySetupTool.exe"));
        NamedSleeper longName(dir, QStringLiteral("VeryLongInstallerName.bin"));
        NamedSleeper spaced(dir, QStringLiteral("a b c"));
        ProcProcessSource src;
        const auto all = listAll(src);
        const ProcessEntry* e = byPid(all, setup.pid());
        QVERIFY(e);
        QCOMPARE(e->Name, std::string("MySetupTool.exe"));
        QCOMPARE(e->User, myAccount());
        QVERIFY(isInstallerName(e->Name));
        // The kernel cuts comm at 15 bytes; the full name comes from argv[0].
        const ProcessEntry* l = byPid(all, longName.pid());
        QVERIFY(l);
        QCOMPARE(l->Name, std::string("VeryLongInstallerName.bin"));
        const ProcessEntry* s = byPid(all, spaced.pid());
        QVERIFY(s);
        QCOMPARE(s->Name, std::string("a b c"));
        QVERIFY(byPid(all, QString::number(getpid())));
    }

    void anEndedButUnreapedProcessIsNotListed() {
        const pid_t child = fork();
        if (child == 0)
            _exit(0);
        QTRY_VERIFY([&] {
            QFile f(QStringLiteral("/proc/%1/status").arg(child));
            return f.open(QIODevice::ReadOnly) && f.readAll().contains("State:\tZ");
        }());
        ProcProcessSource src;
        QVERIFY(!byPid(listAll(src), QString::number(child)));
        waitpid(child, nullptr, 0);
    }

    void visitorStopsTheEnumeration() {
        ProcProcessSource src;
        int visits = 0;
        auto failure = src.EnumerateProcesses([&](const ProcessEntry&) {
            ++visits;
            return false;
        });
        QVERIFY(!failure);
        QCOMPARE(visits, 1);
    }

    void unreadableRootIsAnErrorWithErrno() {
        ProcProcessSource src(dir.filePath(QStringLiteral("missing")).toStdString());
        auto failure = src.EnumerateProcesses([](const ProcessEntry&) { return true; });
        QVERIFY(failure);
        QVERIFY(!failure->duringWalk);
        QCOMPARE(failure->error.number, ENOENT);
        QCOMPARE(failure->error.description, std::string("No such file or directory"));
    }

    // A hand-made tree: vanished and foreign entries are skipped, unknown uids shown in decimal.
    void skipsWhatCannotBeRead() {
        QTemporaryDir root;
        const auto p = [&](const char* rel) { return root.filePath(QString::fromLatin1(rel)); };
        writeFile(p("12/status"), "Name:\tx\nUmask:\t0022\nState:\tS\nUid:\t54321\t0\t0\t0\n");
        writeFile(p("12/comm"), "abc\n");
        writeFile(p("13/comm"), "vanished\n");   // no status: ended mid-walk
        writeFile(p("14/status"), "Name:\ty\n"); // no Uid line
        writeFile(p("14/comm"), "nouid\n");
        writeFile(p("self/status"), "Uid:\t0\n");
        writeFile(p("15/status"), "Uid:\t0\t0\t0\t0\n");
        writeFile(p("15/comm"), "line\nbreak\n");
        writeFile(p("16/status"), "Name:\tz\nState:\tZ (zombie)\nUid:\t0\t0\t0\t0\n");
        writeFile(p("16/comm"), "zombie\n");
        ProcProcessSource src(root.path().toStdString());
        auto all = listAll(src);
        std::sort(all.begin(), all.end(), [](const ProcessEntry& a, const ProcessEntry& b) {
            return a.processid < b.processid;
        });
        QCOMPARE(all.size(), std::size_t(2));
        QCOMPARE(all[0].Name, std::string("abc"));
        QCOMPARE(all[0].User, std::string("54321"));
        QCOMPARE(all[1].Name, std::string("line\nbreak"));
        QCOMPARE(all[1].User, std::string("root"));
    }

    void recognisedNames_data() {
        QTest::addColumn<QString>("comm");
        QTest::addColumn<QString>("argv0");
        QTest::addColumn<QString>("name");
        QTest::newRow("short comm") << "bash"
                                    << "/bin/bash"
                                    << "bash";
        QTest::newRow("cut comm") << "InstallShieldWi"
                                  << "C:\\x\\InstallShieldWizard.exe"
                                  << "InstallShieldWizard.exe";
        QTest::newRow("cut comm, unix path") << "VeryLongInstall"
                                             << "/opt/VeryLongInstaller"
                                             << "VeryLongInstaller";
        QTest::newRow("argv0 renamed") << "VeryLongInstall"
                                       << "python3"
                                       << "VeryLongInstall";
        QTest::newRow("empty argv0") << "VeryLongInstall"
                                     << ""
                                     << "VeryLongInstall";
    }
    void recognisedNames() {
        QFETCH(QString, comm);
        QFETCH(QString, argv0);
        QFETCH(QString, name);
        QCOMPARE(
            QString::fromStdString(recogniseProcessName(comm.toStdString(), argv0.toStdString())),
            name);
    }

    void enderEndsExactlyTheNamedProcesses() {
        NamedSleeper a(dir, QStringLiteral("vigkill.one"));
        NamedSleeper b(dir, QStringLiteral("vigkill.two"));
        NamedSleeper other(dir, QStringLiteral("vigkillother"));
        NamedSleeper byPidOnly(dir, QStringLiteral("vigbypid"));
        ProcProcessSource src;
        SignalProcessEnder ender(src);
        QVERIFY(!ender.endProcesses("vigkill"));
        QVERIFY(a.waitEnded(5000));
        QVERIFY(b.waitEnded(5000));
        QVERIFY(other.running());
        QVERIFY(!ender.endProcesses(byPidOnly.pid().toStdString()));
        QVERIFY(byPidOnly.waitEnded(5000));
        QVERIFY(other.running());
        // 0 would be our own process group; an absurd PID names nothing.
        QVERIFY(!ender.endProcesses("0"));
        QVERIFY(!ender.endProcesses("99999999999999999999"));
        QVERIFY(!ender.endProcesses("no-such-process-name"));
        QVERIFY(other.running());
    }

    void terminationSignalEndsThroughTheEventLoop() {
        int requests = 0;
        watchTerminationRequests([&] { ++requests; });
        ::kill(getpid(), SIGTERM);
        QTRY_COMPARE(requests, 1);
        ::kill(getpid(), SIGHUP);
        QTRY_COMPARE(requests, 2);
    }

    void detectorFindsARealInstaller() {
        test::FakeServices env;
        ProcProcessSource src;
        Module1::services.processes = &src;
        NamedSleeper setup(dir, QStringLiteral("MySetupTool.exe"));
        frmMain* m = frmMain::instance();
        m->scanForInstaller();
        frmDialog* d = frmDialog::loaded();
        QVERIFY(d);
        // Another installer may run on this machine; only this one's text is certain to match
        // when it is the only one, so accept either but require the reminder form.
        QVERIFY(d->Label1->text().startsWith(QStringLiteral("A new Installation has started.")));
        delete d;
        delete m;
    }
};

QTEST_MAIN(TestProcSource)
#include "test_proc_source.moc"

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

#include <atomic>
#include <memory>
#include <thread>

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

std::uint64_t startTimeOf(const QString& pid) {
    ProcStat st;
    return readProcStat("/proc", pid.toInt(), st) ? st.startTime : 0;
}

std::string myAccount() {
    struct passwd* pw = getpwuid(getuid());
    return pw ? pw->pw_name : std::to_string(getuid());
}

// A stat line as the kernel writes it: comm in parentheses, then state, then 49 numbers of
// which the 20th after the state is the start time.
QByteArray statLine(const char* pid, const QByteArray& comm, char state, quint64 start) {
    QByteArray line = QByteArray(pid) + " (" + comm + ") " + state;
    for (int field = 4; field <= 52; ++field)
        line += ' ' + (field == 22 ? QByteArray::number(start) : QByteArray::number(field));
    return line + '\n';
}

// A kernel thread's stat line: PF_KTHREAD among its flags, field 9.
QByteArray kthreadd(const char* pid = "2", const QByteArray& comm = "kthreadd") {
    return statLine(pid, comm, 'S', 1).replace(" 8 9 10 ", " 8 2097152 10 ");
}

void writeFile(const QString& path, const QByteArray& data) {
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(data);
}

// One process of a fake /proc: its status (owned by root, with `status` added), comm and stat
// (by default a sleeping process that started at tick 1).
void putProcess(const QTemporaryDir& root, const QByteArray& pid, const QByteArray& comm,
                const QByteArray& stat = {}, const QByteArray& status = {}) {
    const QString d = root.filePath(QString::fromLatin1(pid));
    writeFile(d + QStringLiteral("/status"), "Name:\tx\nUid:\t0\t0\t0\t0\n" + status);
    writeFile(d + QStringLiteral("/comm"), comm + '\n');
    writeFile(d + QStringLiteral("/stat"),
              stat.isEmpty() ? statLine(pid.constData(), comm, 'S', 1) : stat);
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

    // Where /proc/self says the count of tasks is not this namespace's, each PID kept is asked
    // after; where /proc is another namespace's, every pass lists.
    void namespacesDecideWhatStandsInForAListing_data() {
        QTest::addColumn<bool>("ownProc");
        QTest::addColumn<bool>("nested");
        QTest::addColumn<bool>("listed");
        QTest::newRow("the machine's namespace") << true << false << true;
        QTest::newRow("a nested namespace") << true << true << false;
        QTest::newRow("another namespace's /proc") << false << false << true;
    }
    void namespacesDecideWhatStandsInForAListing() {
        QFETCH(bool, ownProc);
        QFETCH(bool, nested);
        QFETCH(bool, listed);
        QTemporaryDir root;
        const QByteArray me = QByteArray::number(ownProc ? getpid() : 1);
        const auto put = [&](const QByteArray& pid, const QByteArray& extra) {
            putProcess(root, pid, "p" + pid, {}, extra);
        };
        put("10", {});
        put("11", {});
        put(me, {});
        if (!nested) // the machine's namespace shows its kernel threads
            writeFile(root.filePath(QStringLiteral("2/stat")), kthreadd());
        QVERIFY(QFile::link(QString::fromLatin1(me), root.filePath(QStringLiteral("self"))));
        const QString loadavg = root.filePath(QStringLiteral("loadavg"));
        writeFile(loadavg, "0.45 0.66 0.33 2/100 12\n");
        ProcProcessSource src(root.path().toStdString(), [&](pid_t pid) {
            return QFileInfo::exists(root.filePath(QString::number(pid)));
        });
        listAll(src);
        // 11 reaped, while the machine made tasks this namespace cannot see.
        QVERIFY(QDir(root.filePath(QStringLiteral("11"))).removeRecursively());
        writeFile(loadavg, "0.45 0.66 0.33 2/140 12\n");
        const auto all = listAll(src);
        QCOMPARE(src.lastPassListed(), listed);
        QVERIFY(byPid(all, QStringLiteral("10")));
        QVERIFY(!byPid(all, QStringLiteral("11")));
    }

    // Passes between listings over the real /proc: a process started since is there, one
    // reaped since is gone, and a thread that lives through the pass is no process.
    void passesBetweenListingsFollowTheRealProc() {
        ProcProcessSource src;
        listAll(src);
        auto sleeper = std::make_unique<NamedSleeper>(dir, QStringLiteral("vig-between"));
        const QString pid = sleeper->pid();
        std::atomic<pid_t> tid{0};
        std::atomic<bool> stop{false};
        std::thread thread([&] {
            tid = gettid();
            while (!stop)
                usleep(1000);
        });
        QTRY_VERIFY(tid != 0);
        auto all = listAll(src);
        QVERIFY(byPid(all, pid));
        QCOMPARE(byPid(all, pid)->Name, std::string("vig-between"));
        QVERIFY(!byPid(all, QString::number(tid)));
        stop = true;
        thread.join();
        sleeper.reset();
        QVERIFY(!byPid(listAll(src), pid));
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
        writeFile(p("12/stat"), statLine("12", "abc", 'S', 100));
        writeFile(p("13/comm"), "vanished\n");   // no status: ended mid-walk
        writeFile(p("14/status"), "Name:\ty\n"); // no Uid line
        writeFile(p("14/comm"), "nouid\n");
        writeFile(p("14/stat"), statLine("14", "nouid", 'S', 100));
        writeFile(p("self/status"), "Uid:\t0\n");
        writeFile(p("15/status"), "Uid:\t0\t0\t0\t0\n");
        writeFile(p("15/comm"), "line\nbreak\n");
        writeFile(p("15/stat"), statLine("15", "line\nbreak", 'R', 100));
        writeFile(p("16/status"), "Name:\tz\nState:\tZ (zombie)\nUid:\t0\t0\t0\t0\n");
        writeFile(p("16/comm"), "zombie\n");
        writeFile(p("16/stat"), statLine("16", "zombie", 'Z', 100));
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

    void statLines_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QByteArray>("comm");
        QTest::addColumn<QString>("state");
        QTest::addColumn<quint64>("start");
        QTest::newRow("plain") << statLine("7", "bash", 'S', 123456) << true << QByteArray("bash")
                               << "S" << quint64(123456);
        // A name may hold ") (" and spaces; only the last ")" ends it.
        QTest::newRow("name with brackets") << statLine("8", "a) (b c) Z 1", 'R', 99) << true
                                            << QByteArray("a) (b c) Z 1") << "R" << quint64(99);
        QTest::newRow("name with a line break")
            << statLine("9", "x\ny", 'Z', 5) << true << QByteArray("x\ny") << "Z" << quint64(5);
        QTest::newRow("largest start time")
            << statLine("9", "x", 'S', 18446744073709551615ull) << true << QByteArray("x") << "S"
            << quint64(18446744073709551615ull);
        QTest::newRow("cut before the start time")
            << QByteArray("9 (x) S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18") << false
            << QByteArray() << "" << quint64(0);
        QTest::newRow("no closing bracket")
            << QByteArray("9 (x S 1 2 3") << false << QByteArray() << "" << quint64(0);
        QTest::newRow("start time overflows")
            << statLine("9", "x", 'S', 0).replace(" 0 23", " 18446744073709551616 23") << false
            << QByteArray() << "" << quint64(0);
        QTest::newRow("start time not a number")
            << statLine("9", "x", 'S', 0).replace(" 0 23", " 1e5 23") << false << QByteArray() << ""
            << quint64(0);
    }
    void statLines() {
        QFETCH(QByteArray, line);
        QFETCH(bool, ok);
        ProcStat st;
        QCOMPARE(parseProcStat(std::string_view(line.constData(), line.size()), st), ok);
        if (!ok)
            return;
        QFETCH(QByteArray, comm);
        QFETCH(QString, state);
        QFETCH(quint64, start);
        QCOMPARE(QByteArray::fromStdString(st.comm), comm);
        QCOMPARE(QString(QChar(st.state)), state);
        QCOMPARE(quint64(st.startTime), start);
    }

    // Field 22 and not a neighbour: a child starts after the test, and not after now.
    void startTimeOfARealProcess() {
        NamedSleeper child(dir, QStringLiteral("vigstarted"));
        ProcProcessSource src;
        const auto all = listAll(src);
        const ProcessEntry* e = byPid(all, child.pid());
        const ProcessEntry* self = byPid(all, QString::number(getpid()));
        QVERIFY(e && self);
        QVERIFY(self->startTime > 0);
        QVERIFY(e->startTime >= self->startTime);
        QFile uptime(QStringLiteral("/proc/uptime"));
        QVERIFY(uptime.open(QIODevice::ReadOnly));
        const double up = uptime.readAll().split(' ').at(0).toDouble();
        QVERIFY(double(e->startTime) <= (up + 1) * double(sysconf(_SC_CLK_TCK)));
        QCOMPARE(e->startTime, startTimeOf(child.pid()));
    }

    // Field 4, read afresh: the monitor follows a process's parents with it.
    void parentOfARealProcess() {
        NamedSleeper child(dir, QStringLiteral("vigparent"));
        ProcProcessSource src;
        QCOMPARE(QString::fromStdString(src.parentOf(child.pid().toStdString()).value_or("?")),
                 QString::number(getpid()));
        QVERIFY(!src.parentOf("0"));
        QVERIFY(!src.parentOf("12x"));
    }

    // A PID is signalled only while it still names the process that was listed.
    void endByPidChecksTheStartTime() {
        ProcProcessSource src;
        SignalProcessEnder ender(src);
        NamedSleeper live(dir, QStringLiteral("vigpidcheck"));
        const std::string pid = live.pid().toStdString();
        const std::uint64_t start = startTimeOf(live.pid());
        QVERIFY(start > 0);
        QCOMPARE(ender.endByPid(pid, start + 1).outcome, PidEnd::Replaced);
        QCOMPARE(ender.endByPid(pid, start - 1).outcome, PidEnd::Replaced);
        QVERIFY(live.running());
        QCOMPARE(ender.endByPid(pid, start).outcome, PidEnd::Signalled);
        QVERIFY(live.waitEnded(10000));

        // Ended and collected: nothing runs under the PID (unless another took it, which is
        // refused by its start time).
        QProcess gone;
        gone.start(QStringLiteral("/bin/true"), {});
        QVERIFY(gone.waitForFinished(10000));
        const auto outcome =
            ender.endByPid(QString::number(gone.processId()).toStdString(), start).outcome;
        QVERIFY(outcome == PidEnd::NotRunning || outcome == PidEnd::Replaced);
    }

    // Digits are a name here: a process named "424242" is ended, not PID 424242.
    void endByNameTakesDigitsAsAName() {
        ProcProcessSource src;
        SignalProcessEnder ender(src);
        NamedSleeper digits(dir, QStringLiteral("424242"));
        NamedSleeper bystander(dir, QStringLiteral("vigbystander"));
        QVERIFY(!ender.endByName("424242"));
        QVERIFY(digits.waitEnded(10000));
        QVERIFY(!ender.endByName(bystander.pid().toStdString()));
        QVERIFY(bystander.running());
    }

    // What a pass reads, over a hand-made tree that changes between passes.
    void cachedPassesReadOnlyWhatIsNew() {
        QTemporaryDir root;
        const auto put = [&](const char* pid, const QByteArray& comm, quint64 start) {
            putProcess(root, pid, comm, statLine(pid, comm, 'S', start));
        };
        put("10", "ten", 1);
        put("11", "eleven", 1);
        ProcProcessSource src(root.path().toStdString());
        auto names = [&] {
            QStringList out;
            for (const auto& e : listAll(src))
                out << QString::fromStdString(e.processid + "=" + e.Name + "@" +
                                              std::to_string(e.startTime));
            out.sort();
            return out;
        };
        QCOMPARE(names(), QStringList({"10=ten@1", "11=eleven@1"})); // pass 1, full
        QCOMPARE(src.lastPassReads(), std::size_t(2));
        QCOMPARE(names().size(), 2); // pass 2: found by the first pass, so not checked again
        QCOMPARE(src.lastPassReads(), std::size_t(0));
        QCOMPARE(names().size(), 2); // pass 3: nothing new
        QCOMPARE(src.lastPassReads(), std::size_t(0));

        // Pass 4: a new process; 10 replaces its program in place; 11 ends and its PID goes to
        // another process with the same name, which its new /proc entry shows.
        put("12", "twelve", 3);
        put("10", "setup", 1);
        // The new entry is made before the old one goes, as its inode must differ, as in /proc.
        put("11.new", "eleven", 4);
        QVERIFY(QDir(root.path()).rename(QStringLiteral("11"), QStringLiteral("11.old")));
        QVERIFY(QDir(root.path()).rename(QStringLiteral("11.new"), QStringLiteral("11")));
        QVERIFY(QDir(root.filePath(QStringLiteral("11.old"))).removeRecursively());
        QCOMPARE(names(), QStringList({"10=ten@1", "11=eleven@4", "12=twelve@3"}));
        QCOMPARE(src.lastPassReads(), std::size_t(2));
        put("12", "setup-x", 3); // pass 5: 12 and 11, new on pass 4; 12 has run another program
        QCOMPARE(names(), QStringList({"10=ten@1", "11=eleven@4", "12=setup-x@3"}));
        QCOMPARE(src.lastPassReads(), std::size_t(1));
        QVERIFY(QDir(root.filePath(QStringLiteral("12"))).removeRecursively());
        QCOMPARE(names(), QStringList({"10=ten@1", "11=eleven@4"})); // pass 6: 12 ended
        QCOMPARE(src.lastPassReads(), std::size_t(0));
        // Pass 7, full: what changed in place is read again, what did not is not.
        QCOMPARE(names(), QStringList({"10=setup@1", "11=eleven@4"}));
        QCOMPARE(src.lastPassReads(), std::size_t(1));
        put("10", "ten", 1);
        QCOMPARE(names(), QStringList({"10=setup@1", "11=eleven@4"})); // pass 8
        QCOMPARE(src.lastPassReads(), std::size_t(0));
        src.requireFullPass();
        QCOMPARE(names(), QStringList({"10=ten@1", "11=eleven@4"}));
        QCOMPARE(src.lastPassReads(), std::size_t(1));
    }

    // Processes already running at the first pass are compared again only by the full pass.
    void firstPassIsNotCheckedAgainOnTheSecond() {
        QTemporaryDir root;
        const auto put = [&](const QByteArray& comm) { putProcess(root, "10", comm); };
        put("ten");
        ProcProcessSource src(root.path().toStdString());
        QCOMPARE(listAll(src).at(0).Name, std::string("ten"));
        put("setup");
        for (unsigned pass = 2; pass < ProcProcessSource::kFullPassEvery + 1; ++pass)
            QCOMPARE(listAll(src).at(0).Name, std::string("ten"));
        QCOMPARE(listAll(src).at(0).Name, std::string("setup"));
    }

    // A kernel thread's comm changes with its work, and it never runs a program: a full pass
    // leaves it alone.
    void kernelThreadsAreNotCompared() {
        ProcStat real; // kthreadd, in the machine's PID namespace
        if (readProcStat("/proc", 2, real) && real.comm == "kthreadd")
            QVERIFY(real.flags & 0x00200000u);
        QTemporaryDir root;
        const auto put = [&](const char* pid, const QByteArray& comm, bool kernel) {
            putProcess(root, pid, comm, kernel ? kthreadd(pid, comm) : QByteArray());
        };
        put("10", "kworker/0:1", true);
        put("11", "ten", false);
        ProcProcessSource src(root.path().toStdString());
        listAll(src);
        put("10", "kworker/0:1-events", true);
        put("11", "setup", false);
        src.requireFullPass();
        const auto all = listAll(src);
        QCOMPARE(src.lastPassReads(), std::size_t(1));
        QCOMPARE(byPid(all, QStringLiteral("11"))->Name, std::string("setup"));
    }

    // A pass looks up only the PIDs handed out since the last, and asks after the PIDs kept when
    // the count of tasks shows older ones reaped; it lists on a full pass, without counters, or
    // when the counters cannot be accounted for.
    void listsOnlyWhatTheTaskCountersCannotAccountFor_data() {
        QTest::addColumn<QByteArray>("loadavg");
        QTest::addColumn<bool>("trusted");
        QTest::newRow("kernel's line") << QByteArray("0.45 0.66 0.33 2/100 12\n") << true;
        QTest::newRow("no last PID") << QByteArray("0.45 0.66 0.33 2/100\n") << false;
        QTest::newRow("no total") << QByteArray("0.45 0.66 0.33 2 12\n") << false;
        QTest::newRow("empty") << QByteArray() << false;
    }
    void listsOnlyWhatTheTaskCountersCannotAccountFor() {
        QFETCH(QByteArray, loadavg);
        QFETCH(bool, trusted);
        QTemporaryDir root;
        const auto put = [&](const char* pid, const QByteArray& comm, const char* tgid) {
            putProcess(root, pid, comm, {}, "Tgid:\t" + QByteArray(tgid) + '\n');
        };
        const auto counters = [&](const QByteArray& text) {
            writeFile(root.filePath(QStringLiteral("loadavg")), text);
        };
        const auto gone = [&](const char* pid) {
            QVERIFY(QDir(root.filePath(QString::fromLatin1(pid))).removeRecursively());
        };
        put("10", "ten", "10");
        put("11", "eleven", "11");
        put("12", "twelve", "12");
        writeFile(root.filePath(QStringLiteral("2/stat")), kthreadd()); // the machine's namespace
        counters(loadavg);
        ProcProcessSource src(root.path().toStdString(), [&](pid_t pid) {
            return QFileInfo::exists(root.filePath(QString::number(pid)));
        });
        auto pass = [&](bool listed) {
            QStringList out;
            for (const auto& e : listAll(src))
                if (e.processid != "2")
                    out << QString::fromStdString(e.processid + "=" + e.Name);
            out.sort();
            if (src.lastPassListed() != listed)
                out << QString::fromLatin1(listed ? "(not listed)" : "(listed)");
            return out;
        };
        QCOMPARE(pass(true), QStringList({"10=ten", "11=eleven", "12=twelve"})); // full
        // Pass 2: 11 has been reaped but the count says not, so it stays when trusted.
        gone("11");
        if (!trusted) {
            QCOMPARE(pass(true), QStringList({"10=ten", "12=twelve"}));
            return;
        }
        QCOMPARE(pass(false), QStringList({"10=ten", "11=eleven", "12=twelve"}));
        counters("0.45 0.66 0.33 2/99 12\n"); // pass 3: a task fewer: each PID kept is asked
        QCOMPARE(pass(false), QStringList({"10=ten", "12=twelve"}));
        put("13", "thirteen", "13"); // pass 4: more tasks than new PIDs, and 13 made since
        counters("0.45 0.66 0.33 2/101 12\n");
        QCOMPARE(pass(true), QStringList({"10=ten", "12=twelve", "13=thirteen"}));
        // Pass 5: 13 has gone again, 14 is new, 15 is a thread of 14, 16 was made and has gone.
        gone("13");
        put("14", "fourteen", "14");
        put("15", "a-thread", "14");
        counters("0.45 0.66 0.33 2/103 16\n");
        QCOMPARE(pass(false), QStringList({"10=ten", "12=twelve", "14=fourteen"}));
        put("14", "setup", "14"); // pass 6: 14's second look, with nothing handed out
        QCOMPARE(pass(false), QStringList({"10=ten", "12=twelve", "14=setup"}));
        put("10", "setup-x", "10"); // pass 7, full: listed, for an exec in place moves no count
        QCOMPARE(pass(true), QStringList({"10=setup-x", "12=twelve", "14=setup"}));
        // Pass 8: a new task whose PID holds nothing that can be read.
        QVERIFY(QDir(root.path()).mkdir(QStringLiteral("17")));
        counters("0.45 0.66 0.33 2/104 17\n");
        QCOMPARE(pass(true), QStringList({"10=setup-x", "12=twelve", "14=setup"}));
        // Pass 9: more new PIDs than are looked up one by one.
        counters("0.45 0.66 0.33 2/104 " +
                 QByteArray::number(17 + ProcProcessSource::kProbeLimit + 1) + "\n");
        QCOMPARE(pass(true), QStringList({"10=setup-x", "12=twelve", "14=setup"}));
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
        QVERIFY(!ender.endByName("vigkill"));
        QVERIFY(a.waitEnded(5000));
        QVERIFY(b.waitEnded(5000));
        QVERIFY(other.running());
        QCOMPARE(
            ender.endByPid(byPidOnly.pid().toStdString(), startTimeOf(byPidOnly.pid())).outcome,
            PidEnd::Signalled);
        QVERIFY(byPidOnly.waitEnded(5000));
        QVERIFY(other.running());
        // 0 would be our own process group; an absurd PID names nothing.
        QCOMPARE(ender.endByPid("0", 0).outcome, PidEnd::NotRunning);
        QCOMPARE(ender.endByPid("99999999999999999999", 0).outcome, PidEnd::NotRunning);
        QVERIFY(!ender.endByName("no-such-process-name"));
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

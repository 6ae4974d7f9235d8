// The program's side of the root side, against a stand-in: a script that speaks the restore
// lines or prints a point's number, started the way the real one is (through a stand-in
// pkexec, or directly as root would).
#include "platform/RestoreProtocol.h"
#include "platform/linux/RootSideRestore.h"
#include "platform/linux/SystemPointsEngine.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace vigilorn;

namespace {

constexpr int kWaitMs = 20000;

// The maker's part of every script: its arguments, for the test to read.
constexpr const char* kLead = "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$(dirname \"$0\")/args\"\n"
                              "echo $$ > \"$(dirname \"$0\")/pid\"\n";

// Ask, then go on or stop as answered.
constexpr const char* kAsking = "echo 'before 41'\n"
                                "echo 'missing libfoo1 1.0-1 amd64'\n"
                                "echo 'missing bar 2:3.1 all'\n"
                                "echo 'not a line of ours'\n"
                                "echo ask\n"
                                "read -r answer\n"
                                "if [ \"$answer\" = stop ]; then echo 'end stopped by the user';"
                                " exit 0; fi\n"
                                "echo 'step 1 2 Installing the versions of P7'\n"
                                "echo 'warn /etc/motd could not be put back'\n"
                                "echo 'step 2 2 Putting back /etc'\n"
                                "echo 'end ok P7 is back'\n";

bool writeScript(const QString& path, const QByteArray& body) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(body) != body.size())
        return false;
    f.close();
    return ::chmod(path.toUtf8().constData(), 0700) == 0;
}

struct Seen {
    std::vector<std::vector<std::string>> asked;
    std::vector<std::string> steps;
    std::vector<std::uint64_t> befores;
    std::optional<SystemRestore::Result> result;
};

// Records the configuration parts it is asked for.
class Parts final : public RestoreEngine {
public:
    std::vector<std::pair<std::uint64_t, std::string>> made;
    std::string displayName() const override { return "parts"; }
    Failure createRestorePoint(const std::string&, int, int) override {
        return PlatformError{1, "numbered only"};
    }
    Failure createNumberedRestorePoint(const std::string& description, int, int,
                                       std::uint64_t number, const std::string&) override {
        made.emplace_back(number, description);
        return std::nullopt;
    }
    Failure listRestorePoints(std::vector<RestorePointRecord>&) override { return std::nullopt; }
};

} // namespace

class TestRootSideRestore : public QObject {
    Q_OBJECT

private slots:
    void runs_data() {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<bool>("viaPkexec");
        QTest::addColumn<int>("answer"); // -1: never asked, 0: stop, 1: go
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("warnings");
        QTest::addColumn<int>("before"); // 0: none
        QTest::addColumn<int>("steps");

        const auto ok = static_cast<int>(SystemRestore::Outcome::Ok);
        const auto failed = static_cast<int>(SystemRestore::Outcome::Failed);
        const auto stopped = static_cast<int>(SystemRestore::Outcome::Stopped);
        QTest::newRow("ask, go") << QByteArray(kAsking) << true << 1 << ok << "P7 is back" << 1
                                 << 41 << 2;
        QTest::newRow("ask, go, as root")
            << QByteArray(kAsking) << false << 1 << ok << "P7 is back" << 1 << 41 << 2;
        QTest::newRow("ask, stop")
            << QByteArray(kAsking) << true << 0 << stopped << "by the user" << 0 << 41 << 0;
        // A line without end: the client neither grows without bound nor waits for it.
        QTest::newRow("a line too long")
            << QByteArray("echo 'step 1 3 Packages'\nwhile :; do printf xxxxxxxxxxxxxxxx; done\n")
            << true << -1 << failed << "longer than 1024 bytes" << 0 << 0 << 1;
        QTest::newRow("the longest line")
            << QByteArray("printf 'warn %01018d\\n' 0\necho 'end ok'\n") << true << -1 << ok << ""
            << 1 << 0 << 0;
        QTest::newRow("a byte longer")
            << QByteArray("printf 'warn %01019d\\n' 0\necho 'end ok'\n") << true << -1 << failed
            << "longer than 1024 bytes" << 0 << 0 << 0;
        QTest::newRow("crash mid-run")
            << QByteArray("echo 'before 41'\necho 'step 1 3 Packages'\nkill -SEGV $$\n") << true
            << -1 << failed << "crashed" << 0 << 41 << 1;
        QTest::newRow("ended without a last line")
            << QByteArray("echo 'step 1 3 Packages'\necho 'no space left' >&2\nexit 3\n") << true
            << -1 << failed << "exit code 3): no space left" << 0 << 0 << 1;
        // What follows the last line is not believed.
        QTest::newRow("after the end")
            << QByteArray("echo 'end failed dpkg broke'\necho 'end ok'\n") << true << -1 << failed
            << "dpkg broke" << 0 << 0 << 0;
    }
    void runs() {
        QFETCH(QByteArray, script);
        QFETCH(bool, viaPkexec);
        QFETCH(int, answer);
        QFETCH(int, outcome);
        QFETCH(QString, text);
        QFETCH(int, warnings);
        QFETCH(int, before);
        QFETCH(int, steps);

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString maker = dir.filePath("qmvigilorn-system");
        QVERIFY(writeScript(maker, kLead + script));
        RootSideRestore::Options o;
        o.maker = maker.toStdString();
        o.asRoot = !viaPkexec;
        o.pkexec = dir.filePath("pkexec").toStdString();
        QVERIFY(writeScript(dir.filePath("pkexec"), "#!/bin/sh\nexec \"$@\"\n"));
        RootSideRestore restore(o);

        Seen seen;
        SystemRestore::Events events;
        events.ask = [&](const std::vector<SystemRestore::Missing>& missing) {
            std::vector<std::string> names;
            for (const auto& m : missing)
                names.push_back(m.name + " " + m.version + " " + m.arch);
            seen.asked.push_back(names);
            restore.answer(answer == 1);
        };
        events.step = [&](std::uint64_t done, std::uint64_t total, const std::string& what) {
            seen.steps.push_back(std::to_string(done) + "/" + std::to_string(total) + " " + what);
        };
        events.before = [&](std::uint64_t n) { seen.befores.push_back(n); };
        events.finished = [&](const SystemRestore::Result& r) { seen.result = r; };
        QElapsedTimer t;
        t.start();
        QVERIFY(restore.start(7, events));
        QVERIFY(restore.running());
        // pkexec runs the root side in its own process: the PID the monitor follows.
        const std::string child = restore.childPid().value_or("none");
        QVERIFY(!restore.start(8, events)); // one run at a time
        QTRY_VERIFY_WITH_TIMEOUT(seen.result.has_value(), kWaitMs);
        QVERIFY(!restore.running());
        QVERIFY(!restore.childPid());
        QFile pid(dir.filePath("pid"));
        QVERIFY(pid.open(QIODevice::ReadOnly));
        QCOMPARE(pid.readAll().trimmed().toStdString(), child);

        QFile args(dir.filePath("args"));
        QVERIFY(args.open(QIODevice::ReadOnly));
        QCOMPARE(args.readAll(), QByteArray("restore\n--point\n7\n"));
        QCOMPARE(static_cast<int>(seen.result->outcome), outcome);
        QVERIFY2(QString::fromStdString(seen.result->text).contains(text),
                 seen.result->text.c_str());
        QCOMPARE(static_cast<int>(seen.result->warnings.size()), warnings);
        QCOMPARE(static_cast<int>(seen.steps.size()), steps);
        QCOMPARE(seen.result->before.value_or(0), static_cast<std::uint64_t>(before));
        QCOMPARE(seen.befores.size(), std::size_t(before ? 1 : 0));
        if (answer >= 0) {
            const std::vector<std::vector<std::string>> asked{
                {"libfoo1 1.0-1 amd64", "bar 2:3.1 all"}};
            QCOMPARE(seen.asked, asked);
        } else {
            QVERIFY(seen.asked.empty());
        }
        if (steps == 2)
            QCOMPARE(seen.steps[0], std::string("1/2 Installing the versions of P7"));
    }

    // pkexec's own answers when the administrator says no.
    void notAuthorised() {
        QTemporaryDir dir;
        QVERIFY(writeScript(dir.filePath("pkexec"), "#!/bin/sh\nexit 126\n"));
        RootSideRestore restore(
            {"/nonexistent/qmvigilorn-system", dir.filePath("pkexec").toStdString(), false});
        std::optional<SystemRestore::Result> result;
        SystemRestore::Events events;
        events.finished = [&](const SystemRestore::Result& r) { result = r; };
        QVERIFY(restore.start(3, events));
        QTRY_VERIFY_WITH_TIMEOUT(result.has_value(), kWaitMs);
        QCOMPARE(result->outcome, SystemRestore::Outcome::Failed);
        QCOMPARE(result->text,
                 std::string("Restoring was not authorised: the request for a password was "
                             "dismissed."));

        // And a maker that is not there at all, started directly.
        RootSideRestore missing({dir.filePath("none").toStdString(), "/usr/bin/pkexec", true});
        result.reset();
        QVERIFY(missing.start(3, events));
        QTRY_VERIFY_WITH_TIMEOUT(result.has_value(), kWaitMs);
        QCOMPARE(result->outcome, SystemRestore::Outcome::Failed);
        QVERIFY2(result->text.find("Could not start") == 0, result->text.c_str());
    }

    // A point made from the window: the configuration folder goes under the number the root
    // side printed, and under none when it printed none. Through pkexec it is asked for as the
    // one request a user may make without a password.
    void pointFromTheWindowGetsItsConfigurationPart_data() {
        QTest::addColumn<QByteArray>("printed");
        QTest::addColumn<int>("number"); // 0: the point was not made
        QTest::addColumn<bool>("viaPkexec");
        QTest::addColumn<QByteArray>("args");
        const QByteArray asRoot("create\n--reason\nwindow\n--description\nBefore the game\n");
        QTest::newRow("a number") << QByteArray("17") << 17 << false << asRoot;
        QTest::newRow("no number") << QByteArray("seventeen") << 0 << false << asRoot;
        QTest::newRow("through pkexec")
            << QByteArray("17") << 17 << true
            << QByteArray("window-point\n--description\nBefore the game\n");
    }
    void pointFromTheWindowGetsItsConfigurationPart() {
        QFETCH(QByteArray, printed);
        QFETCH(int, number);
        QFETCH(bool, viaPkexec);
        QFETCH(QByteArray, args);
        QTemporaryDir dir;
        const QString maker = dir.filePath("qmvigilorn-system");
        QVERIFY(writeScript(maker, kLead + QByteArray("echo ") + printed + "\n"));
        QVERIFY(writeScript(dir.filePath("pkexec"), "#!/bin/sh\nexec \"$@\"\n"));
        SystemPointsEngine::Options o;
        o.maker = maker.toStdString();
        o.list = dir.filePath("points.list").toStdString();
        o.pkexec = dir.filePath("pkexec").toStdString();
        o.asRoot = !viaPkexec;
        auto parts = std::make_unique<Parts>();
        Parts* seen = parts.get();
        SystemPointsEngine engine(o, std::move(parts));
        const Failure f = engine.createRestorePoint("Before the game", 12, 100);
        QCOMPARE(!f, number != 0);
        QFile given(dir.filePath("args"));
        QVERIFY(given.open(QIODevice::ReadOnly));
        QCOMPARE(given.readAll(), args);
        if (number)
            QCOMPARE(seen->made, (std::vector<std::pair<std::uint64_t, std::string>>{
                                     {std::uint64_t(number), "Before the game"}}));
        else
            QVERIFY(seen->made.empty());
    }
};

QTEST_GUILESS_MAIN(TestRootSideRestore)
#include "test_root_side_restore.moc"

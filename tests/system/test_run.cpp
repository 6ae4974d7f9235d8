// The root side's one program runner, as an ordinary user: its time cap ends the whole group,
// what it keeps of the output is bounded, its input is fed or /dev/null.
#include "system/Run.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTest>

#include <signal.h>

#include <cerrno>
#include <thread>

using namespace vigilorn::sys;
using namespace std::chrono_literals;

namespace {

// Gone, or a zombie nobody has reaped yet: either way it runs no more.
bool stopped(pid_t pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = stat.readAll();
    const auto close = text.lastIndexOf(')');
    return close < 0 || text.mid(close + 2, 1) == "Z";
}

bool stopsWithin(pid_t pid, std::chrono::milliseconds within) {
    QElapsedTimer clock;
    clock.start();
    while (!stopped(pid)) {
        if (clock.elapsed() > within.count())
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// The child's pid the script printed first.
pid_t printedPid(const RunResult& r) {
    bool ok = false;
    const pid_t pid = QByteArray::fromStdString(r.output).trimmed().toInt(&ok);
    return ok ? pid : 0;
}

RunResult shell(const char* script, RunOptions options = {}) {
    return run({"/bin/sh", "-c", script}, options);
}

} // namespace

class TestRun : public QObject {
    Q_OBJECT

private slots:
    void capEndsTheWholeGroup() {
        RunOptions o;
        o.cap = 500ms;
        QElapsedTimer clock;
        clock.start();
        const RunResult r = shell("sleep 30 & echo $!; wait", o);
        QVERIFY(clock.elapsed() < 10'000);
        QVERIFY(r.started);
        QVERIFY(r.timedOut);
        QCOMPARE(r.status, -1);
        QVERIFY(r.problem.find("did not end within") != std::string::npos);
        const pid_t child = printedPid(r);
        QVERIFY(child > 0);
        QVERIFY(stopsWithin(child, 5s));
    }

    // Its end is its end, even when a child of its own still holds the output.
    void endSeenWhileAChildHoldsTheOutput() {
        RunOptions o;
        o.cap = 20s;
        QElapsedTimer clock;
        clock.start();
        const RunResult r = shell("sleep 30 & echo $!", o);
        const qint64 took = clock.elapsed();
        const pid_t child = printedPid(r);
        if (child > 0)
            ::kill(child, SIGKILL);
        QVERIFY(took < 10'000);
        QVERIFY(!r.timedOut);
        QCOMPARE(r.status, 0);
        QVERIFY(child > 0);
    }

    void outputIsBounded_data() {
        QTest::addColumn<bool>("keepStart");
        QTest::addColumn<int>("errorsTo");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<QByteArray>("errors");
        QTest::addColumn<bool>("cut");
        using E = RunOptions::Errors;
        QTest::newRow("end kept") << false << int(E::WithOutput) << QByteArray("E789")
                                  << QByteArray() << true;
        QTest::newRow("start kept")
            << true << int(E::WithOutput) << QByteArray("xxxx") << QByteArray() << true;
        QTest::newRow("errors apart")
            << true << int(E::Apart) << QByteArray("xxxx") << QByteArray("ERR") << true;
    }
    void outputIsBounded() {
        QFETCH(bool, keepStart);
        QFETCH(int, errorsTo);
        QFETCH(QByteArray, output);
        QFETCH(QByteArray, errors);
        QFETCH(bool, cut);
        RunOptions o;
        o.keep = 4;
        o.keepStart = keepStart;
        o.errorsTo = RunOptions::Errors(errorsTo);
        o.keepErrors = 3;
        // A lot more than a pipe holds, so that the cut happens while it writes.
        const RunResult r = shell("head -c 200000 /dev/zero | tr '\\0' x; printf 0123456789; "
                                  "printf ERRORS >&2; printf E789",
                                  o);
        QCOMPARE(r.status, 0);
        QCOMPARE(QByteArray::fromStdString(r.output), output);
        QCOMPARE(QByteArray::fromStdString(r.errors), errors);
        QCOMPARE(r.cut, cut);
    }

    void inputAndEnvironment_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<bool>("hasInput");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<int>("status");
        QTest::newRow("input fed")
            << "cat" << true << QByteArray("a b c\nd\n") << QByteArray("a b c\nd\n") << 0;
        QTest::newRow("no input: /dev/null")
            << "cat; echo end" << false << QByteArray() << QByteArray("end\n") << 0;
        // Stops reading: neither it nor we are ended by SIGPIPE.
        QTest::newRow("input not read")
            << "exit 4" << true << QByteArray(1 << 20, 'x') << QByteArray() << 4;
        QTest::newRow("fixed environment")
            << "echo \"$PATH|$HOME|$LC_ALL|${SECRET-unset}\"" << false << QByteArray()
            << QByteArray("/usr/sbin:/usr/bin:/sbin:/bin|/root|C.UTF-8|unset\n") << 0;
    }
    void inputAndEnvironment() {
        QFETCH(QString, script);
        QFETCH(bool, hasInput);
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, output);
        QFETCH(int, status);
        qputenv("SECRET", "ours");
        RunOptions o;
        o.cap = 20s;
        if (hasInput)
            o.input = input.toStdString();
        const RunResult r = shell(script.toUtf8().constData(), o);
        QCOMPARE(r.status, status);
        QCOMPARE(QByteArray::fromStdString(r.output), output);
    }

    void notStarted_data() {
        QTest::addColumn<QString>("program");
        QTest::addColumn<int>("error");
        QTest::newRow("relative") << "sh" << 0;
        QTest::newRow("missing") << "/nonexistent/program" << ENOENT;
    }
    void notStarted() {
        QFETCH(QString, program);
        QFETCH(int, error);
        const RunResult r = run({program.toStdString()}, {});
        QVERIFY(!r.started);
        QCOMPARE(r.startError, error);
        QVERIFY(!r.problem.empty());
    }
};

QTEST_GUILESS_MAIN(TestRun)
#include "test_run.moc"

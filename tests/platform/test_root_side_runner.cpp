// Starting the root side: through a stand-in pkexec or directly as root would, waited for or
// followed by its events, and how it ended said once.
#include "platform/linux/RootSideRunner.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace vigilorn;
using How = RootSideRunner::Ending::How;

Q_DECLARE_METATYPE(How)

namespace {

constexpr int kWaitMs = 20000;

bool writeScript(const QString& path, const QByteArray& body) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write("#!/bin/sh\n" + body) != body.size() + 10)
        return false;
    f.close();
    return ::chmod(QFile::encodeName(path).constData(), 0700) == 0;
}

// The stand-in pkexec notes what it was asked to run, then runs it or answers as told.
QByteArray pkexec(const QByteArray& answer) {
    return "printf '%s\\n' \"$@\" > \"$(dirname \"$0\")/asked\"\n" + answer + "\n";
}

} // namespace

class TestRootSideRunner : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

    QString path(const char* name) const { return dir.filePath(QLatin1String(name)); }
    std::string maker() const { return path("maker").toStdString(); }

private slots:
    void waited_data() {
        QTest::addColumn<QByteArray>("pkexecAnswer"); // empty: run as root, no pkexec
        QTest::addColumn<QByteArray>("makerBody");
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<How>("how");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("err");
        QTest::addColumn<QString>("words");
        const QByteArray run = "exec \"$@\"";
        const QByteArray speaks = "echo 17\necho 'a warning' >&2\nexit 0";
        QTest::newRow("through pkexec")
            << run << speaks << kWaitMs << How::Exited << 0 << QByteArray("17\n")
            << QByteArray("a warning\n") << "finished";
        QTest::newRow("as root") << QByteArray() << speaks << kWaitMs << How::Exited << 0
                                 << QByteArray("17\n") << QByteArray("a warning\n") << "finished";
        QTest::newRow("dismissed")
            << QByteArray("exit 126") << speaks << kWaitMs << How::NotAuthorised << 126
            << QByteArray() << QByteArray() << "was not authorised";
        QTest::newRow("not authorised")
            << QByteArray("echo 'Error executing command as another user' >&2; exit 127") << speaks
            << kWaitMs << How::NotAuthorised << 127 << QByteArray()
            << QByteArray("Error executing command as another user\n") << "was not authorised";
        // Without pkexec, 126 and 127 are the program's own.
        QTest::newRow("126 of the program itself, as root")
            << QByteArray() << QByteArray("exit 126") << kWaitMs << How::Exited << 126
            << QByteArray() << QByteArray() << "failed with exit code 126";
        QTest::newRow("failed") << run << QByteArray("echo 'no space left' >&2\nexit 3") << kWaitMs
                                << How::Exited << 3 << QByteArray() << QByteArray("no space left\n")
                                << "failed with exit code 3";
        QTest::newRow("crashed") << run << QByteArray("kill -SEGV $$") << kWaitMs << How::Crashed
                                 << -1 << QByteArray() << QByteArray() << "crashed";
        QTest::newRow("too slow") << run << QByteArray("echo started\nexec sleep 60") << 300
                                  << How::TimedOut << -1 << QByteArray("started\n") << QByteArray()
                                  << "did not finish in time";
        QTest::newRow("more output than kept, read to its end")
            << run << QByteArray("head -c 3000000 /dev/zero | tr '\\0' x\necho end >&2") << kWaitMs
            << How::Exited << 0 << QByteArray(RootSideRunner::kMaxOutput, 'x')
            << QByteArray("end\n") << "finished";
    }
    void waited() {
        QFETCH(QByteArray, pkexecAnswer);
        QFETCH(QByteArray, makerBody);
        QFETCH(int, timeoutMs);
        QFETCH(How, how);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        QFETCH(QString, words);
        QFile::remove(path("asked"));
        QVERIFY(writeScript(path("maker"), makerBody));
        QVERIFY(writeScript(path("pkexec"), pkexec(pkexecAnswer)));
        RootSideRunner runner({path("pkexec").toStdString(), pkexecAnswer.isEmpty()});
        std::string gotOut, gotErr;
        const auto e =
            runner.run({maker(), {"create", "--description", "a b"}}, gotOut, &gotErr, timeoutMs);
        QCOMPARE(e.how, how);
        if (how == How::Exited || how == How::NotAuthorised)
            QCOMPARE(e.exitCode, exitCode);
        QCOMPARE(QByteArray::fromStdString(gotOut), out);
        QCOMPARE(QByteArray::fromStdString(gotErr), err);
        QCOMPARE(QString::fromStdString(e.words()), words);
        QCOMPARE(e.ok(), how == How::Exited && exitCode == 0);
        // pkexec is asked for the maker by its path, each argument whole; as root it is not asked.
        QFile asked(path("asked"));
        if (pkexecAnswer.isEmpty()) {
            QVERIFY(!asked.exists());
        } else {
            QVERIFY(asked.open(QIODevice::ReadOnly));
            QCOMPARE(asked.readAll(), path("maker").toUtf8() + "\ncreate\n--description\na b\n");
        }
    }

    void errorsMergedWhenNotAskedApart() {
        QVERIFY(writeScript(path("maker"), "echo one\necho two >&2\necho three"));
        std::string out;
        const auto e =
            RootSideRunner({"/nonexistent/pkexec", true}).run({maker(), {}}, out, nullptr, kWaitMs);
        QVERIFY(e.ok());
        QCOMPARE(out, std::string("one\ntwo\nthree\n"));
    }

    void notStarted_data() {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("pkexecPath");
        QTest::addColumn<bool>("asRoot");
        QTest::addColumn<QString>("words");
        QTest::newRow("not a fixed path")
            << "snapper"
            << "/nonexistent/pkexec" << true << "could not be started: not a fixed path: snapper";
        QTest::newRow("no pkexec") << "/bin/true"
                                   << "/nonexistent/pkexec" << false
                                   << "could not be started: /nonexistent/pkexec is not "
                                      "installed, and /bin/true needs administrator rights";
        QTest::newRow("no such program")
            << "/nonexistent/maker"
            << "/nonexistent/pkexec" << true << "could not be started: ";
    }
    void notStarted() {
        QFETCH(QString, program);
        QFETCH(QString, pkexecPath);
        QFETCH(bool, asRoot);
        QFETCH(QString, words);
        RootSideRunner runner({pkexecPath.toStdString(), asRoot});
        std::string out;
        const auto waited = runner.run({program.toStdString(), {}}, out, nullptr, kWaitMs);
        QCOMPARE(waited.how, How::NotStarted);
        QVERIFY2(QString::fromStdString(waited.words()).startsWith(words), waited.words().c_str());
        // Followed, a start that fails still ends once.
        if (!asRoot)
            return; // the followed run leaves the check for pkexec to its caller
        int ended = 0;
        RootSideRunner::Ending followed;
        QVERIFY(runner.start({program.toStdString(), {}},
                             {{}, {}, [&](const RootSideRunner::Ending& e) {
                                  ++ended;
                                  followed = e;
                              }}));
        QTRY_COMPARE_WITH_TIMEOUT(ended, 1, kWaitMs);
        QCOMPARE(followed.how, How::NotStarted);
        QVERIFY(!runner.running());
    }

    // A conversation: output as it comes, an answer written back, the end after the last byte.
    void followed_data() {
        QTest::addColumn<QByteArray>("pkexecAnswer");
        QTest::addColumn<How>("how");
        QTest::addColumn<QByteArray>("out");
        QTest::newRow("through pkexec")
            << QByteArray("exec \"$@\"") << How::Exited << QByteArray("ask\ngot go\nend\n");
        QTest::newRow("as root") << QByteArray() << How::Exited << QByteArray("ask\ngot go\nend\n");
        QTest::newRow("dismissed") << QByteArray("exit 126") << How::NotAuthorised << QByteArray();
    }
    void followed() {
        QFETCH(QByteArray, pkexecAnswer);
        QFETCH(How, how);
        QFETCH(QByteArray, out);
        QVERIFY(writeScript(path("maker"),
                            "echo ask\nread -r answer\necho \"got $answer\"\necho oops >&2\n"
                            "echo end\n"));
        QVERIFY(writeScript(path("pkexec"), pkexec(pkexecAnswer)));
        RootSideRunner runner({path("pkexec").toStdString(), pkexecAnswer.isEmpty()});
        std::string gotOut, gotErr;
        int ended = 0;
        RootSideRunner::Ending ending;
        RootSideRunner::Events events;
        events.output = [&](std::string_view bytes) {
            gotOut += bytes;
            if (gotOut == "ask\n")
                runner.write("go\n");
        };
        events.errors = [&](std::string_view bytes) { gotErr += bytes; };
        events.finished = [&](const RootSideRunner::Ending& e) {
            ++ended;
            ending = e;
            QVERIFY(!runner.running()); // another run may start from here
        };
        QVERIFY(runner.start({maker(), {}}, events));
        QVERIFY(runner.running());
        QVERIFY(!runner.start({maker(), {}}, events));
        QTRY_COMPARE_WITH_TIMEOUT(ended, 1, kWaitMs);
        QCOMPARE(ending.how, how);
        QCOMPARE(QByteArray::fromStdString(gotOut), out);
        QCOMPARE(QByteArray::fromStdString(gotErr), out.isEmpty() ? QByteArray() : "oops\n");
    }

    void killedWhenAskedTo() {
        QVERIFY(writeScript(path("maker"), "echo started\nexec sleep 60\n"));
        RootSideRunner runner({"/nonexistent/pkexec", true});
        int ended = 0;
        RootSideRunner::Ending ending;
        RootSideRunner::Events events;
        events.output = [&](std::string_view) { runner.kill(); };
        events.finished = [&](const RootSideRunner::Ending& e) {
            ++ended;
            ending = e;
        };
        QVERIFY(runner.start({maker(), {}}, events));
        QTRY_COMPARE_WITH_TIMEOUT(ended, 1, kWaitMs);
        QCOMPARE(ending.how, How::Crashed);
    }
};

QTEST_GUILESS_MAIN(TestRootSideRunner)
#include "test_root_side_runner.moc"

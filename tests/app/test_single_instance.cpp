#include "app/HeldChange.h"
#include "app/SingleInstance.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QPointer>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <future>

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vigilorn;
using namespace std::chrono_literals;

namespace {

// A second start runs in a thread of its own: its waits for an answer block, and the first
// copy answers from this thread's event loop.
SingleInstance::Outcome claimElsewhere(const QString& folder, const QString& key,
                                       std::chrono::milliseconds within = 5s) {
    auto result = std::async(std::launch::async, [&] {
        SingleInstance second(folder, key);
        return second.claim(within);
    });
    while (result.wait_for(10ms) != std::future_status::ready)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return result.get();
}

// What the running copy answers to these bytes. Its server runs on this thread, so the events
// are let through while waiting.
QByteArray answerTo(const QString& socketPath, const QByteArray& bytes, bool closeWriting) {
    QLocalSocket s;
    s.connectToServer(socketPath);
    if (!s.waitForConnected(5000))
        return "no connection";
    s.write(bytes);
    s.flush();
    if (closeWriting)
        s.disconnectFromServer();
    QByteArray got;
    const QDeadlineTimer deadline(10000);
    while (!got.endsWith('\n') && s.state() != QLocalSocket::UnconnectedState &&
           !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        got += s.readAll();
    }
    return got + s.readAll();
}

// The PID of a process that has ended and been reaped.
qint64 deadPid() {
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

} // namespace

class TestSingleInstance : public QObject {
    Q_OBJECT
private slots:
    void keys_data() {
        QTest::addColumn<QString>("platformA");
        QTest::addColumn<QString>("displayA");
        QTest::addColumn<QString>("platformB");
        QTest::addColumn<QString>("displayB");
        QTest::addColumn<bool>("same");
        QTest::newRow("screen of the same display") << "xcb"
                                                    << ":0"
                                                    << "xcb"
                                                    << ":0.0" << true;
        QTest::newRow("other screen, same display") << "xcb"
                                                    << ":0.1"
                                                    << "xcb"
                                                    << ":0.0" << true;
        QTest::newRow("other display") << "xcb"
                                       << ":0"
                                       << "xcb"
                                       << ":1" << false;
        QTest::newRow("remote display") << "xcb"
                                        << "host:0"
                                        << "xcb"
                                        << ":0" << false;
        QTest::newRow("dotted host") << "xcb"
                                     << "a.b:0.0"
                                     << "xcb"
                                     << "a.b:0" << true;
        QTest::newRow("wayland sockets") << "wayland"
                                         << "wayland-0"
                                         << "wayland"
                                         << "wayland-1" << false;
        QTest::newRow("X and Wayland") << "xcb"
                                       << ":0"
                                       << "wayland"
                                       << ":0" << false;
    }
    void keys() {
        QFETCH(QString, platformA);
        QFETCH(QString, displayA);
        QFETCH(QString, platformB);
        QFETCH(QString, displayB);
        QFETCH(bool, same);
        const QString a = instanceKey(QStringLiteral("QMVigilornApp"), platformA, displayA);
        const QString b = instanceKey(QStringLiteral("QMVigilornApp"), platformB, displayB);
        QCOMPARE(a == b, same);
        QVERIFY(a.startsWith(QStringLiteral("QMVigilornApp-")));
    }

    void keysAreFileNames() {
        const QString k = instanceKey(QStringLiteral("a/b"), QStringLiteral("xcb"),
                                      QStringLiteral("/private/tmp/../launch:0"));
        QVERIFY(!k.contains(u'/'));
        QCOMPARE(QFileInfo(k).fileName(), k);
        QVERIFY(instanceKey(QStringLiteral("x"), QStringLiteral("xcb"), QStringLiteral(":0")) !=
                instanceKey(QStringLiteral("y"), QStringLiteral("xcb"), QStringLiteral(":0")));
    }

    void secondStartTellsTheFirst() {
        QTemporaryDir dir;
        SingleInstance first(dir.path(), QStringLiteral("k"));
        QSignalSpy asked(&first, &SingleInstance::showRequested);
        QCOMPARE(first.claim(), SingleInstance::Outcome::First);
        QVERIFY(QFile::exists(first.lockPath()));
        QCOMPARE(claimElsewhere(dir.path(), QStringLiteral("k")), SingleInstance::Outcome::Told);
        QTRY_COMPARE(asked.count(), 1);
        QCOMPARE(claimElsewhere(dir.path(), QStringLiteral("k")), SingleInstance::Outcome::Told);
        QTRY_COMPARE(asked.count(), 2);
        // Another key is another display: it runs on its own.
        SingleInstance other(dir.path(), QStringLiteral("k2"));
        QCOMPARE(other.claim(), SingleInstance::Outcome::First);
    }

    void leftoversOfAnEndedCopyDoNotStopTheNext_data() {
        QTest::addColumn<bool>("staleLock");
        QTest::addColumn<bool>("staleSocket");
        QTest::newRow("lock of a dead process") << true << false;
        QTest::newRow("socket nobody listens on") << false << true;
        QTest::newRow("both") << true << true;
    }
    void leftoversOfAnEndedCopyDoNotStopTheNext() {
        QFETCH(bool, staleLock);
        QFETCH(bool, staleSocket);
        QTemporaryDir dir;
        SingleInstance first(dir.path(), QStringLiteral("k"));
        if (staleLock) {
            // The lock file's own format: PID, application name, host name.
            QFile f(first.lockPath());
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(QByteArray::number(deadPid()) + "\nQMVigilornApp\n" +
                    QSysInfo::machineHostName().toUtf8() + "\n");
        }
        if (staleSocket) {
            const QByteArray path = QFile::encodeName(first.socketPath());
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            QVERIFY(static_cast<size_t>(path.size()) < sizeof addr.sun_path);
            std::memcpy(addr.sun_path, path.constData(), static_cast<size_t>(path.size()));
            QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
            ::close(fd); // bound, never listened on, left behind
            QVERIFY(QFile::exists(first.socketPath()));
        }
        QSignalSpy asked(&first, &SingleInstance::showRequested);
        QCOMPARE(first.claim(), SingleInstance::Outcome::First);
        QCOMPARE(claimElsewhere(dir.path(), QStringLiteral("k")), SingleInstance::Outcome::Told);
        QTRY_COMPARE(asked.count(), 1);
    }

    void aHolderThatDoesNotAnswer_data() {
        QTest::addColumn<bool>("listening");
        QTest::newRow("listening, silent") << true;
        QTest::newRow("not listening") << false;
    }
    void aHolderThatDoesNotAnswer() {
        QFETCH(bool, listening);
        QTemporaryDir dir;
        SingleInstance probe(dir.path(), QStringLiteral("k"));
        QLockFile held(probe.lockPath());
        held.setStaleLockTime(0);
        QVERIFY(held.tryLock(0));
        QLocalServer silent;
        if (listening)
            QVERIFY(silent.listen(probe.socketPath()));
        QElapsedTimer clock;
        clock.start();
        // Blocks this thread: the silent server never gets to read.
        QCOMPARE(probe.claim(400ms), SingleInstance::Outcome::NoAnswer);
        QVERIFY(clock.elapsed() >= 350);
        QVERIFY(clock.elapsed() < 5000);
        QVERIFY(probe.problem().contains(probe.lockPath()));
    }

    void lockThatCannotBeMadeLeavesTheProgramUnguarded() {
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("plain")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        // A folder below a plain file cannot exist, whoever asks.
        SingleInstance s(dir.filePath(QStringLiteral("plain/sub")), QStringLiteral("k"));
        QCOMPARE(s.claim(200ms), SingleInstance::Outcome::Unguarded);
        QVERIFY(!s.problem().isEmpty());
    }

    void onlyTheExactRequestIsObeyed_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<bool>("closeWriting");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("shown");
        QTest::newRow("the request") << QByteArray("show\n") << false << QByteArray("ok\n") << 1;
        QTest::newRow("another word") << QByteArray("quit\n") << false << QByteArray("?\n") << 0;
        QTest::newRow("request and more")
            << QByteArray("show\nshow\n") << false << QByteArray("?\n") << 0;
        QTest::newRow("no line end") << QByteArray("show") << true << QByteArray() << 0;
        QTest::newRow("endless line") << QByteArray(200, 'x') << false << QByteArray("?\n") << 0;
    }
    void onlyTheExactRequestIsObeyed() {
        QFETCH(QByteArray, request);
        QFETCH(bool, closeWriting);
        QFETCH(QByteArray, answer);
        QFETCH(int, shown);
        QTemporaryDir dir;
        SingleInstance first(dir.path(), QStringLiteral("k"));
        QSignalSpy asked(&first, &SingleInstance::showRequested);
        QCOMPARE(first.claim(), SingleInstance::Outcome::First);
        QCOMPARE(answerTo(first.socketPath(), request, closeWriting), answer);
        QTest::qWait(100);
        QCOMPARE(asked.count(), shown);
        // And it still serves the next start.
        QCOMPARE(claimElsewhere(dir.path(), QStringLiteral("k")), SingleInstance::Outcome::Told);
        QTRY_COMPARE(asked.count(), shown + 1);
    }

    // The package hook's side, played by this thread: root here, as the hook is.
    void heldChangeConversation_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("answer"); // -1: the hook goes away unanswered
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<QByteArray>("hookReply"); // after point; empty: it hangs up
        QTest::addColumn<QString>("outcome");
        using A = HeldChange::Answer;
        QTest::newRow("yes") << QByteArray("hold apt-get\n") << int(A::Go) << QByteArray("go\n")
                             << QByteArray() << "";
        QTest::newRow("off") << QByteArray("hold dpkg\n") << int(A::Off) << QByteArray("off\n")
                             << QByteArray() << "";
        QTest::newRow("wait ran out") << QByteArray("hold apt\n") << int(A::Auto)
                                      << QByteArray("auto\n") << QByteArray() << "";
        QTest::newRow("point made") << QByteArray("hold apt-get\n") << int(A::Point)
                                    << QByteArray("point\n") << QByteArray("made 7\n") << "made 7";
        QTest::newRow("point failed")
            << QByteArray("hold apt-get\n") << int(A::Point) << QByteArray("point\n")
            << QByteArray("failed\n") << "failed";
        QTest::newRow("a number that is not one")
            << QByteArray("hold apt-get\n") << int(A::Point) << QByteArray("point\n")
            << QByteArray("made 7x\n") << "failed";
        QTest::newRow("hook ends before its point")
            << QByteArray("hold apt-get\n") << int(A::Point) << QByteArray("point\n")
            << QByteArray() << "failed";
        QTest::newRow("hook stopped by Ctrl-C")
            << QByteArray("hold apt-get\n") << -1 << QByteArray() << QByteArray() << "gone";
        QTest::newRow("a name that is no process name")
            << QByteArray("hold ../x\n") << int(A::Go) << QByteArray("?\n") << QByteArray() << "";
    }
    void heldChangeConversation() {
        QFETCH(QByteArray, request);
        QFETCH(int, answer);
        QFETCH(QByteArray, wire);
        QFETCH(QByteArray, hookReply);
        QFETCH(QString, outcome);
        if (::geteuid() != 0)
            QSKIP("only root's hook is listened to");
        QTemporaryDir dir;
        SingleInstance first(dir.path(), QStringLiteral("k"));
        QCOMPARE(first.claim(), SingleInstance::Outcome::First);
        QPointer<HeldChange> held;
        QString result;
        connect(&first, &SingleInstance::holdRequested, this, [&](HeldChange* c) {
            held = c;
            connect(c, &HeldChange::pointMade, this,
                    [&](const QString& n) { result = "made " + n; });
            connect(c, &HeldChange::pointFailed, this, [&] { result = "failed"; });
            connect(c, &HeldChange::gone, this, [&] { result = "gone"; });
        });
        QLocalSocket hook;
        hook.connectToServer(first.socketPath());
        QVERIFY(hook.waitForConnected(5000));
        hook.write(request);
        hook.flush();
        QByteArray got;
        auto readLine = [&] {
            const QDeadlineTimer deadline(10000);
            while (!got.endsWith('\n') && hook.state() == QLocalSocket::ConnectedState &&
                   !deadline.hasExpired()) {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
                got += hook.readAll();
            }
        };
        if (wire == "?\n") {
            readLine();
            QCOMPARE(got, wire);
            QVERIFY(!held);
            return;
        }
        QTRY_VERIFY(held);
        QCOMPARE(held->frontEnd(), QString::fromLatin1(request.mid(5).chopped(1)));
        if (answer < 0) {
            hook.disconnectFromServer();
        } else {
            held->answer(HeldChange::Answer(answer));
            held->answer(HeldChange::Answer::Go); // only the first counts
            readLine();
            QCOMPARE(got, wire);
            if (answer == int(HeldChange::Answer::Point)) {
                if (hookReply.isEmpty())
                    hook.disconnectFromServer();
                else
                    hook.write(hookReply);
                hook.flush();
            }
        }
        QTRY_COMPARE(result, outcome);
    }

    // A note of root's hook is passed on and answered with nothing; another line is not one.
    void hookNotes_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("noted");
        QTest::newRow("auto") << QByteArray("auto 12 1 apt-get\n") << true;
        QTest::newRow("nopoint") << QByteArray("nopoint dpkg\n") << true;
        QTest::newRow("not a note") << QByteArray("auto 12 apt-get\n") << false;
    }
    void hookNotes() {
        QFETCH(QByteArray, line);
        QFETCH(bool, noted);
        if (::geteuid() != 0)
            QSKIP("only root's hook is listened to");
        QTemporaryDir dir;
        SingleInstance first(dir.path(), QStringLiteral("k"));
        QCOMPARE(first.claim(), SingleInstance::Outcome::First);
        std::vector<hold::Note> notes;
        connect(&first, &SingleInstance::hookNoted, this,
                [&](const hold::Note& n) { notes.push_back(n); });
        QLocalSocket hook;
        hook.connectToServer(first.socketPath());
        QVERIFY(hook.waitForConnected(5000));
        hook.write(line);
        hook.flush();
        QByteArray got;
        const QDeadlineTimer deadline(10000);
        while (hook.state() == QLocalSocket::ConnectedState && !deadline.hasExpired()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            got += hook.readAll();
        }
        got += hook.readAll();
        QCOMPARE(got, noted ? QByteArray() : QByteArray("?\n"));
        QCOMPARE(notes.size(), std::size_t(noted ? 1 : 0));
        if (noted)
            QCOMPARE(hold::noteLine(notes.front()), line.toStdString());
    }
};

QTEST_MAIN(TestSingleInstance)
#include "test_single_instance.moc"

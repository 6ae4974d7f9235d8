#include "app/SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <future>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
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

sockaddr_un addressOf(const QString& path) {
    const QByteArray bytes = QFile::encodeName(path);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (static_cast<size_t>(bytes.size()) < sizeof addr.sun_path)
        std::memcpy(addr.sun_path, bytes.constData(), static_cast<size_t>(bytes.size()));
    return addr;
}

// A socket at the path that never accepts: bound, and listening or not.
int bindAt(const QString& path, bool listening) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un addr = addressOf(path);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        (listening && ::listen(fd, 8) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A non-blocking connection, or -1.
int connectTo(const QString& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const sockaddr_un addr = addressOf(path);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Whether the other end has closed the connection (or broken it).
bool closedByPeer(int fd) {
    char byte;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// What the running copy answers to these bytes, up to its closing the connection. Its server
// runs on this thread, so the events are let through while waiting.
QByteArray answerTo(const QString& socketPath, const QByteArray& bytes, bool closeWriting) {
    const int fd = connectTo(socketPath);
    if (fd < 0)
        return "no connection";
    if (::send(fd, bytes.constData(), static_cast<size_t>(bytes.size()), MSG_NOSIGNAL) !=
        bytes.size())
        return "not sent";
    if (closeWriting)
        ::shutdown(fd, SHUT_WR);
    QByteArray got;
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        char buffer[256];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0)
            got.append(buffer, n);
        else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            break;
    }
    ::close(fd);
    return got;
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
            const int fd = bindAt(first.socketPath(), false);
            QVERIFY(fd >= 0);
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
        const int silent = listening ? bindAt(probe.socketPath(), true) : -1;
        if (listening)
            QVERIFY(silent >= 0);
        QElapsedTimer clock;
        clock.start();
        // Blocks this thread: the silent server never gets to read.
        QCOMPARE(probe.claim(400ms), SingleInstance::Outcome::NoAnswer);
        QVERIFY(clock.elapsed() >= 350);
        QVERIFY(clock.elapsed() < 5000);
        QVERIFY(probe.problem().contains(probe.lockPath()));
        if (silent >= 0)
            ::close(silent);
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

    void silentPeersDoNotHoldUpTheNextStart_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("peers");
        QTest::newRow("nothing sent") << QByteArray() << 1;
        QTest::newRow("half a request") << QByteArray("sho") << 1;
        QTest::newRow("bytes without a line end") << QByteArray("\0\xff\x01", 3) << 1;
        QTest::newRow("many peers") << QByteArray() << 100;
    }
    void silentPeersDoNotHoldUpTheNextStart() {
        QFETCH(QByteArray, bytes);
        QFETCH(int, peers);
        QTemporaryDir dir;
        SingleInstance first(dir.path(), QStringLiteral("k"));
        QSignalSpy asked(&first, &SingleInstance::showRequested);
        QCOMPARE(first.claim(), SingleInstance::Outcome::First);
        std::vector<int> open;
        for (int i = 0; i < peers; ++i) {
            open.push_back(connectTo(first.socketPath()));
            QVERIFY(open.back() >= 0);
            QCOMPARE(::send(open.back(), bytes.constData(), static_cast<size_t>(bytes.size()),
                            MSG_NOSIGNAL),
                     bytes.size());
        }
        QTest::qWait(200); // the first copy takes them in
        // Less than a silent peer is given: waiting on one first would miss this start.
        QCOMPARE(claimElsewhere(dir.path(), QStringLiteral("k"), 2s),
                 SingleInstance::Outcome::Told);
        QTRY_COMPARE(asked.count(), 1);
        for (const int fd : open)
            ::close(fd);
    }

    void aSilentPeerIsLetGo() {
        QTemporaryDir dir;
        SingleInstance first(dir.path(), QStringLiteral("k"));
        QCOMPARE(first.claim(), SingleInstance::Outcome::First);
        const int fd = connectTo(first.socketPath());
        QVERIFY(fd >= 0);
        QTRY_VERIFY_WITH_TIMEOUT(closedByPeer(fd), 10000);
        ::close(fd);
    }

    void theSocketIsTheUsersOnly() {
        QTemporaryDir dir;
        SingleInstance first(dir.path(), QStringLiteral("k"));
        // With no umask to help, only the program can narrow the mode.
        const mode_t before = ::umask(0);
        const SingleInstance::Outcome outcome = first.claim();
        ::umask(before);
        QCOMPARE(outcome, SingleInstance::Outcome::First);
        struct stat st {};
        QCOMPARE(::lstat(QFile::encodeName(first.socketPath()).constData(), &st), 0);
        QVERIFY(S_ISSOCK(st.st_mode));
        QCOMPARE(st.st_mode & (S_IRWXG | S_IRWXO), 0u);
        QVERIFY(st.st_mode & S_IWUSR);
    }

    void socketPathAtTheLimit_data() {
        QTest::addColumn<int>("over");
        QTest::newRow("longest that fits") << 0;
        QTest::newRow("one byte more") << 1;
    }
    void socketPathAtTheLimit() {
        QFETCH(int, over);
        QTemporaryDir dir;
        const int limit = static_cast<int>(sizeof(sockaddr_un::sun_path)) - 1;
        const int keyLength = limit + over -
                              static_cast<int>(QFile::encodeName(dir.path()).size()) -
                              static_cast<int>(std::strlen("/.socket"));
        QVERIFY2(keyLength > 0, "the temporary folder's path is too long for this test");
        const QString key(keyLength, u'k');
        SingleInstance first(dir.path(), key);
        QCOMPARE(QFile::encodeName(first.socketPath()).size(), limit + over);
        if (over == 0) {
            QCOMPARE(first.claim(), SingleInstance::Outcome::First);
            QCOMPARE(claimElsewhere(dir.path(), key), SingleInstance::Outcome::Told);
            return;
        }
        QCOMPARE(first.claim(200ms), SingleInstance::Outcome::Unguarded);
        QVERIFY(first.problem().contains(first.socketPath()));
        // Not under a cut name either.
        const QDir folder(dir.path());
        for (const QString& name : folder.entryList(QDir::AllEntries | QDir::System | QDir::Hidden |
                                                    QDir::NoDotAndDotDot)) {
            struct stat st {};
            QCOMPARE(::lstat(QFile::encodeName(folder.filePath(name)).constData(), &st), 0);
            QVERIFY2(!S_ISSOCK(st.st_mode), qPrintable(name));
        }
    }
};

QTEST_MAIN(TestSingleInstance)
#include "test_single_instance.moc"

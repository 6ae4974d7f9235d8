// Root reaching the user's program: the folder, the socket and the peer are checked, and only
// one of four short answers counts.
#include "SystemTestSupport.h"
#include "system/UserProgram.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>
#include <sys/wait.h>

using namespace vigilorn;
using namespace vigilorn::sys;
using namespace vigilorn::test;
using namespace std::chrono_literals;

namespace {

constexpr uid_t kNobody = 65534;

// A server in a child process that binds as root, so the socket file is root's, but listens as
// kNobody, which is what SO_PEERCRED then reports. Tells `ready` when it listens and again when
// it has accepted.
pid_t serveAsNobody(const std::string& path, int ready) {
    const int fd = listenAt(path, false);
    if (fd < 0)
        return -1;
    const pid_t pid = ::fork();
    if (pid != 0) {
        ::close(fd);
        return pid;
    }
    if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0 || ::listen(fd, 4) != 0)
        ::_exit(1);
    [[maybe_unused]] ssize_t n = ::write(ready, "L", 1);
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) == 1) {
        const int conn = ::accept(fd, nullptr, nullptr);
        n = ::write(ready, "A", 1);
        n = ::send(conn, "go\n", 3, MSG_NOSIGNAL);
        pollfd c{conn, POLLIN, 0};
        ::poll(&c, 1, 10000);
    }
    ::_exit(0);
}

QByteArray readWithin(int fd, int count) {
    QByteArray got;
    while (got.size() < count) {
        pollfd p{fd, POLLIN, 0};
        char c;
        if (::poll(&p, 1, 5000) != 1 || ::read(fd, &c, 1) != 1)
            break;
        got += c;
    }
    return got;
}

} // namespace

class TestUserProgram : public QObject {
    Q_OBJECT

private slots:
    void checks_data() {
        QTest::addColumn<int>("dirMode");
        QTest::addColumn<bool>("dirNobodys");
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("answers");
        QTest::addColumn<bool>("connected");
        QTest::addColumn<int>("expected");
        const int none = int(hold::Answer::None);

        QTest::newRow("go") << 0700 << false << "socket" << QByteArray("go\n") << true << true
                            << int(hold::Answer::Go);
        QTest::newRow("point") << 0700 << false << "socket" << QByteArray("point\n") << true << true
                               << int(hold::Answer::Point);
        QTest::newRow("auto") << 0700 << false << "socket" << QByteArray("auto\n") << true << true
                              << int(hold::Answer::Auto);
        QTest::newRow("off") << 0700 << false << "socket" << QByteArray("off\n") << true << true
                             << int(hold::Answer::Off);
        QTest::newRow("an answer not known")
            << 0700 << false << "socket" << QByteArray("yes\n") << true << true << none;
        QTest::newRow("an answer with a path")
            << 0700 << false << "socket" << QByteArray("point /etc/shadow\n") << true << true
            << none;
        QTest::newRow("an answer too long")
            << 0700 << false << "socket" << QByteArray(100, 'o') + "\n"
            << true << true << none;
        QTest::newRow("closed without an answer")
            << 0700 << false << "socket" << QByteArray() << true << true << none;
        QTest::newRow("an answer that never comes")
            << 0700 << false << "socket" << QByteArray() << false << true << none;
        QTest::newRow("folder mode 0755")
            << 0755 << false << "socket" << QByteArray("go\n") << true << false << none;
        QTest::newRow("folder mode 0701")
            << 0701 << false << "socket" << QByteArray("go\n") << true << false << none;
        QTest::newRow("folder of another user")
            << 0700 << true << "socket" << QByteArray("go\n") << true << false << none;
        QTest::newRow("folder a symbolic link")
            << 0700 << false << "folder-link" << QByteArray("go\n") << true << false << none;
        QTest::newRow("socket name a symbolic link")
            << 0700 << false << "name-link" << QByteArray("go\n") << true << false << none;
        QTest::newRow("socket of another user")
            << 0700 << false << "socket-nobodys" << QByteArray("go\n") << true << false << none;
        QTest::newRow("a file, not a socket")
            << 0700 << false << "file" << QByteArray("go\n") << true << false << none;
        QTest::newRow("another name")
            << 0700 << false << "other-name" << QByteArray("go\n") << true << false << none;
        QTest::newRow("peer of another uid")
            << 0700 << false << "peer-nobody" << QByteArray() << true << false << none;
        QTest::newRow("no folder")
            << 0700 << false << "no-folder" << QByteArray("go\n") << true << false << none;
    }
    void checks() {
        QFETCH(int, dirMode);
        QFETCH(bool, dirNobodys);
        QFETCH(QString, layout);
        QFETCH(QByteArray, answer);
        QFETCH(bool, answers);
        QFETCH(bool, connected);
        QFETCH(int, expected);
        const bool root = ::geteuid() == 0;
        if (!root && (dirNobodys || layout == "socket-nobodys" || layout == "peer-nobody"))
            QSKIP("changing owners needs root");

        QTemporaryDir runUser;
        const uid_t me = ::getuid();
        std::string folder = makeRunUserFolder(runUser.path(), me, mode_t(dirMode));
        QVERIFY(!folder.empty());
        const std::string elsewhere = makeRunUserFolder(runUser.path() + "/elsewhere", me);
        std::string socketAt = folder + '/' + kSocketName;
        if (layout == "name-link") {
            socketAt = elsewhere + '/' + kSocketName;
            QCOMPARE(::symlink(socketAt.c_str(), (folder + '/' + kSocketName).c_str()), 0);
        } else if (layout == "folder-link") {
            QVERIFY(QDir(QString::fromStdString(folder)).removeRecursively());
            QCOMPARE(::symlink(elsewhere.c_str(), folder.c_str()), 0);
            socketAt = elsewhere + '/' + kSocketName;
        } else if (layout == "other-name") {
            socketAt = folder + "/QMVigilornApp-xcb-_0.lock";
        } else if (layout == "no-folder") {
            QVERIFY(QDir(QString::fromStdString(folder)).removeRecursively());
        }
        if (dirNobodys)
            QCOMPARE(::chown(folder.c_str(), kNobody, kNobody), 0);

        int ready[2] = {-1, -1};
        pid_t child = -1;
        std::optional<AnswerServer> server;
        if (layout == "file") {
            QFile f(QString::fromStdString(socketAt));
            QVERIFY(f.open(QIODevice::WriteOnly));
        } else if (layout == "peer-nobody") {
            QCOMPARE(::pipe2(ready, O_CLOEXEC), 0);
            child = serveAsNobody(socketAt, ready[1]);
            QVERIFY(child > 0);
            QCOMPARE(readWithin(ready[0], 1), QByteArray("L"));
        } else if (layout != "no-folder") {
            const int fd = listenAt(socketAt);
            QVERIFY(fd >= 0);
            if (layout == "socket-nobodys")
                QCOMPARE(::chown(socketAt.c_str(), kNobody, kNobody), 0);
            server.emplace(fd, answer, answers);
        }

        const UserPrograms programs(runUser.path().toStdString());
        posix::Fd fd = programs.connect(me, 1s);
        QCOMPARE(fd.valid(), connected);
        QElapsedTimer clock;
        clock.start();
        const hold::Answer got =
            fd.valid() ? askToHold(fd.get(), "apt-get", 300ms) : hold::Answer::None;
        const qint64 waited = clock.elapsed();
        fd.reset();
        QCOMPARE(int(got), expected);
        QVERIFY2(waited < 2000, "the wait for an answer is bounded");
        if (!answers)
            QVERIFY(waited >= 250);

        if (child > 0) {
            // The connection was made and refused for its peer, not for want of a server.
            QCOMPARE(readWithin(ready[0], 1), QByteArray("A"));
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
            ::close(ready[0]);
            ::close(ready[1]);
        }
        if (server) {
            server->stop();
            QCOMPARE(server->accepted(), connected);
            if (connected)
                QCOMPARE(server->received(), QByteArray("hold apt-get\n"));
        }
    }

    void firstProgramOfSeveral() {
        // Two displays: the first name that passes every check is asked; a stale socket
        // nobody listens on is passed over.
        QTemporaryDir runUser;
        const std::string folder = makeRunUserFolder(runUser.path(), ::getuid());
        const int stale = listenAt(folder + "/QMVigilornApp-xcb-_0.socket");
        QVERIFY(stale >= 0);
        ::close(stale);
        AnswerServer second(listenAt(folder + "/QMVigilornApp-xcb-_1.socket"), "go\n");
        const posix::Fd fd = UserPrograms(runUser.path().toStdString()).connect(::getuid(), 1s);
        QVERIFY(fd.valid());
        QCOMPARE(askToHold(fd.get(), "dpkg", 1s), hold::Answer::Go);
    }
};

QTEST_GUILESS_MAIN(TestUserProgram)
#include "test_user_program.moc"

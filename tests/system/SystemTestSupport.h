#pragma once
// A stand-in for the user's program: a real local socket served by a thread of the test.
#include <QByteArray>
#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

namespace vigilorn::test {

inline constexpr char kSocketName[] = "QMVigilornApp-xcb-_0.socket";

// A bound, listening socket at path, or -1.
inline int listenAt(const std::string& path, bool listenNow = true) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return -1;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        (listenNow && ::listen(fd, 4) != 0)) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
}

// Accepts one connection, reads the hold line, then answers: `answer` as it is, or closes at
// once when it is empty, or says nothing when `answers` is false. Everything the hook sends
// is kept, up to 1 KiB, until it closes or the server is stopped.
class AnswerServer {
public:
    AnswerServer(int listenFd, QByteArray answer, bool answers = true)
        : m_listen(listenFd), m_answer(std::move(answer)), m_answers(answers) {
        if (::pipe2(m_stop, O_CLOEXEC) != 0)
            m_stop[0] = m_stop[1] = -1;
        m_thread = std::thread([this] { serve(); });
    }
    ~AnswerServer() { stop(); }
    AnswerServer(const AnswerServer&) = delete;
    AnswerServer& operator=(const AnswerServer&) = delete;

    void stop() {
        if (m_thread.joinable()) {
            [[maybe_unused]] const ssize_t n = ::write(m_stop[1], "x", 1);
            m_thread.join();
        }
        for (int fd : {m_listen, m_stop[0], m_stop[1]})
            if (fd >= 0)
                ::close(fd);
        m_listen = m_stop[0] = m_stop[1] = -1;
    }
    // After stop().
    const QByteArray& received() const { return m_received; }
    bool accepted() const { return m_accepted; }
    const QByteArray& notes() const { return m_notes; }

private:
    // Waits for fd or the stop pipe; true when fd is ready, so nothing sent is lost to a stop.
    bool wait(int fd) {
        pollfd p[2] = {{fd, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
        return ::poll(p, 2, 10000) > 0 && p[0].revents != 0;
    }
    bool readSome(int conn) {
        char buf[256];
        if (!wait(conn))
            return false;
        const ssize_t n = ::read(conn, buf, sizeof buf);
        if (n <= 0 || m_received.size() > 1024)
            return false;
        m_received.append(buf, n);
        return true;
    }
    void serve() {
        if (!wait(m_listen))
            return;
        const int conn = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0)
            return;
        m_accepted = true;
        while (!m_received.contains('\n') && readSome(conn)) {
        }
        if (m_answers && m_answer.isEmpty()) {
            ::close(conn);
            return;
        }
        if (m_answers) {
            [[maybe_unused]] const ssize_t n =
                ::send(conn, m_answer.constData(), m_answer.size(), MSG_NOSIGNAL);
        }
        while (readSome(conn)) {
        }
        ::close(conn);
        // Then the one note the hook may send on a connection of its own.
        if (!wait(m_listen))
            return;
        const int note = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (note < 0)
            return;
        std::swap(m_received, m_notes);
        while (readSome(note)) {
        }
        std::swap(m_received, m_notes);
        ::close(note);
    }

    int m_listen;
    int m_stop[2] = {-1, -1};
    QByteArray m_answer;
    bool m_answers;
    QByteArray m_received;
    QByteArray m_notes;
    bool m_accepted = false;
    std::thread m_thread;
};

// The user's private runtime folder <root>/<uid>, mode 0700.
inline std::string makeRunUserFolder(const QString& root, uid_t uid, mode_t mode = 0700) {
    const QString folder = QDir(root).filePath(QString::number(uid));
    QDir().mkpath(folder);
    const QByteArray path = QFile::encodeName(folder);
    if (::chmod(path.constData(), mode) != 0)
        return {};
    return path.toStdString();
}

} // namespace vigilorn::test

#include "SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace vigilorn {

namespace {

const QByteArray kRequest = "show\n";
const QByteArray kAnswer = "ok\n";
const QByteArray kRefusal = "?\n";
constexpr qsizetype kMaxRequest = 64;
constexpr int kClientLimitMs = 5000;
// Beyond this many unfinished peers the oldest goes: a legitimate start sends its request at
// once, so the oldest are the silent ones, and the descriptors stay bounded.
constexpr std::size_t kMaxPeers = 32;
constexpr int kAcceptRetryMs = 200;
constexpr std::size_t kMaxPath = sizeof(sockaddr_un::sun_path) - 1;

QString fileSafe(const QString& text) {
    QString out;
    for (const QChar c : text) {
        const bool plain = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                           (c >= u'0' && c <= u'9') || c == u'-' || c == u'.';
        out += plain ? c : u'_';
    }
    return out;
}

class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

// The caller has made sure the path fits, with room for its closing zero.
sockaddr_un addressOf(const QByteArray& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    Q_ASSERT(static_cast<std::size_t>(path.size()) <= kMaxPath);
    std::memcpy(addr.sun_path, path.constData(), static_cast<std::size_t>(path.size()));
    return addr;
}

// True when the descriptor is ready, or has an error for the next call to report.
bool waitFor(int fd, short events, const QDeadlineTimer& deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int left = static_cast<int>(std::max<qint64>(deadline.remainingTime(), 1));
        const int ready = ::poll(&p, 1, left);
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

// Whether a call that has just failed may be made again.
bool mayRetry(int fd, short events, const QDeadlineTimer& deadline) {
    if (errno == EINTR)
        return true;
    return (errno == EAGAIN || errno == EWOULDBLOCK) && waitFor(fd, events, deadline);
}

} // namespace

// One accepted connection, read without blocking so that a slow or silent peer never holds up
// the event loop.
class SingleInstance::Peer : public QObject {
public:
    Peer(int fd, SingleInstance* owner)
        : QObject(owner), m_fd(fd), m_owner(owner), m_notifier(fd, QSocketNotifier::Read, this) {
        connect(&m_notifier, &QSocketNotifier::activated, this, [this] { readable(); });
        QTimer::singleShot(kClientLimitMs, this, [this] { end(false); });
    }
    ~Peer() override { closeDescriptor(); }

    void end(bool asked) {
        if (m_fd < 0)
            return;
        closeDescriptor();
        deleteLater();
        m_owner->peerEnded(this, asked);
    }

private:
    void closeDescriptor() {
        if (m_fd < 0)
            return;
        // The notifier must let go before the number can be reused.
        m_notifier.setEnabled(false);
        ::close(m_fd);
        m_fd = -1;
    }

    void readable() {
        while (!m_seen.contains('\n') && m_seen.size() <= kMaxRequest) {
            char buffer[kMaxRequest + 1];
            const auto room = static_cast<std::size_t>(kMaxRequest + 1 - m_seen.size());
            const ssize_t got = ::recv(m_fd, buffer, room, 0);
            if (got > 0) {
                m_seen.append(buffer, got);
                continue;
            }
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            end(false); // closed or failed before a whole request
            return;
        }
        const bool asked = m_seen == kRequest;
        const QByteArray& reply = asked ? kAnswer : kRefusal;
        // A few bytes into an empty buffer go out whole, or the peer has gone.
        while (::send(m_fd, reply.constData(), static_cast<std::size_t>(reply.size()),
                      MSG_NOSIGNAL) < 0 &&
               errno == EINTR) {
        }
        end(asked);
    }

    int m_fd;
    SingleInstance* m_owner;
    QSocketNotifier m_notifier;
    QByteArray m_seen;
};

QString instanceKey(const QString& appName, const QString& platform, const QString& display) {
    QString where = display;
    if (platform == QLatin1String("xcb")) {
        // The screen number after the display number names a screen of the same display.
        const qsizetype colon = where.lastIndexOf(u':');
        const qsizetype dot = where.indexOf(u'.', colon < 0 ? 0 : colon);
        if (colon >= 0 && dot > colon)
            where.truncate(dot);
    }
    return fileSafe(appName) + u'-' + fileSafe(platform) + u'-' + fileSafe(where);
}

SingleInstance::SingleInstance(const QString& folder, const QString& key, QObject* parent)
    : QObject(parent), m_lockPath(QDir(folder).filePath(key + QStringLiteral(".lock"))),
      m_socketPath(QDir(folder).filePath(key + QStringLiteral(".socket"))) {}

SingleInstance::~SingleInstance() {
    if (m_listenFd < 0)
        return;
    delete m_listener;
    ::close(m_listenFd);
    // The lock is still held here, so the name is still ours to remove.
    ::unlink(QFile::encodeName(m_socketPath).constData());
}

SingleInstance::Outcome SingleInstance::claim(std::chrono::milliseconds answerWithin) {
    m_problem.clear();
    const auto pathBytes = static_cast<std::size_t>(QFile::encodeName(m_socketPath).size());
    if (pathBytes > kMaxPath) {
        // A cut path would name another file; no copy could reach this one.
        m_problem = QStringLiteral("the socket path %1 is too long (%2 bytes, at most %3)")
                        .arg(m_socketPath)
                        .arg(pathBytes)
                        .arg(kMaxPath);
        return Outcome::Unguarded;
    }
    m_lock = std::make_unique<QLockFile>(m_lockPath);
    // Held for the whole run: only a dead holder makes a lock stale, never its age.
    m_lock->setStaleLockTime(0);
    const QDeadlineTimer deadline(answerWithin);
    for (;;) {
        if (m_lock->tryLock(0))
            return listen() ? Outcome::First : Outcome::Unguarded;
        if (m_lock->error() != QLockFile::LockFailedError) {
            m_problem = QStringLiteral("cannot make the lock file ") + m_lockPath;
            return Outcome::Unguarded;
        }
        // The holder may be between taking the lock and listening, or may just have ended:
        // try both again until the deadline.
        if (tell(std::chrono::milliseconds(std::max<qint64>(deadline.remainingTime(), 0))))
            return Outcome::Told;
        if (deadline.hasExpired())
            break;
        QThread::msleep(50);
    }
    m_problem =
        QStringLiteral("another copy holds ") + m_lockPath + QStringLiteral(" but does not answer");
    return Outcome::NoAnswer;
}

bool SingleInstance::listen() {
    const QByteArray path = QFile::encodeName(m_socketPath);
    auto fail = [&](int error) {
        m_problem = QStringLiteral("cannot listen on ") + m_socketPath + QStringLiteral(": ") +
                    qt_error_string(error);
        return false;
    };
    Descriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0)
        return fail(errno);
    // We hold the lock, so a socket left here belongs to a copy that has ended.
    ::unlink(path.constData());
    const sockaddr_un addr = addressOf(path);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        return fail(errno);
    // Nobody can connect before listen(), so narrowing the mode after bind() leaves no gap.
    if (::chmod(path.constData(), S_IRUSR | S_IWUSR) != 0 || ::listen(fd.get(), SOMAXCONN) != 0) {
        const int error = errno;
        ::unlink(path.constData());
        return fail(error);
    }
    m_listenFd = fd.release();
    m_listener = new QSocketNotifier(m_listenFd, QSocketNotifier::Read, this);
    connect(m_listener, &QSocketNotifier::activated, this, &SingleInstance::serve);
    return true;
}

bool SingleInstance::tell(std::chrono::milliseconds within) {
    const QDeadlineTimer deadline(std::max<std::chrono::milliseconds>(within, {}));
    const QByteArray path = QFile::encodeName(m_socketPath);
    Descriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0)
        return false;
    const sockaddr_un addr = addressOf(path);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        // Refused, missing or a full backlog: the caller tries again.
        if (errno != EINPROGRESS && errno != EINTR)
            return false;
        int error = 0;
        socklen_t size = sizeof error;
        if (!waitFor(fd.get(), POLLOUT, deadline) ||
            ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0)
            return false;
    }
    qsizetype sent = 0;
    while (sent < kRequest.size()) {
        const ssize_t n = ::send(fd.get(), kRequest.constData() + sent,
                                 static_cast<std::size_t>(kRequest.size() - sent), MSG_NOSIGNAL);
        if (n >= 0)
            sent += n;
        else if (!mayRetry(fd.get(), POLLOUT, deadline))
            return false;
    }
    QByteArray answer;
    while (!answer.endsWith('\n') && answer.size() < kMaxRequest) {
        char buffer[kMaxRequest];
        const ssize_t n =
            ::recv(fd.get(), buffer, static_cast<std::size_t>(kMaxRequest - answer.size()), 0);
        if (n > 0)
            answer.append(buffer, n);
        else if (n == 0 || !mayRetry(fd.get(), POLLIN, deadline))
            break;
    }
    return answer == kAnswer;
}

void SingleInstance::serve() {
    for (;;) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            if (m_peers.size() >= kMaxPeers)
                m_peers.front()->end(false);
            m_peers.push_back(new Peer(fd, this));
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            // Out of descriptors or memory: the pending connection keeps the socket readable, so
            // look again later instead of spinning.
            m_listener->setEnabled(false);
            QTimer::singleShot(kAcceptRetryMs, m_listener,
                               [listener = m_listener] { listener->setEnabled(true); });
        }
        return;
    }
}

void SingleInstance::peerEnded(Peer* peer, bool asked) {
    m_peers.erase(std::remove(m_peers.begin(), m_peers.end(), peer), m_peers.end());
    if (asked)
        emit showRequested();
}

} // namespace vigilorn

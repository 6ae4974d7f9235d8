#include "SingleInstance.h"
#include "HeldChange.h"

#include "platform/HoldProtocol.h"
#include "platform/Platform.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace vigilorn {

namespace {

const QByteArray kRequest = "show\n";
const QByteArray kAnswer = "ok\n";
constexpr qsizetype kMaxRequest = hold::kMaxLine;
constexpr int kClientLimitMs = 5000;
// The hook gives up on its point after 120 s; its answer is not waited for longer.
constexpr int kPointLimitMs = (hold::kHoldCapSeconds + 10) * 1000;

class SocketHeldChange final : public HeldChange {
public:
    SocketHeldChange(QLocalSocket* socket, QString frontEnd)
        : HeldChange(socket), m_socket(socket), m_frontEnd(std::move(frontEnd)) {
        connect(socket, &QLocalSocket::disconnected, this, [this] {
            if (!m_answered)
                emit gone();
            else if (m_waitingForPoint)
                emit pointFailed(
                    QStringLiteral("The package hook ended before it made the point."));
            m_waitingForPoint = false;
        });
    }

    QString frontEnd() const override { return m_frontEnd; }
    bool answered() const override { return m_answered; }

    void answer(Answer a) override {
        if (m_answered)
            return;
        m_answered = true;
        static constexpr hold::Answer kWire[] = {hold::Answer::Go, hold::Answer::Point,
                                                 hold::Answer::Auto, hold::Answer::Off};
        const std::string_view line = hold::answerLine(kWire[static_cast<int>(a)]);
        m_socket->write(line.data(), static_cast<qint64>(line.size()));
        if (a != Answer::Point) {
            m_socket->disconnectFromServer();
            return;
        }
        m_waitingForPoint = true;
        auto* limit = new QTimer(this);
        limit->setSingleShot(true);
        connect(limit, &QTimer::timeout, this, [this] { m_socket->abort(); });
        limit->start(kPointLimitMs);
        connect(m_socket, &QLocalSocket::readyRead, this, [this] { readResult(); });
    }

private:
    void readResult() {
        m_seen += m_socket->read(kMaxRequest + 1 - m_seen.size());
        if (!m_seen.contains('\n') && m_seen.size() <= kMaxRequest)
            return;
        m_waitingForPoint = false;
        disconnect(m_socket, &QLocalSocket::readyRead, this, nullptr);
        const QByteArray line = m_seen.left(m_seen.indexOf('\n') + 1);
        if (const auto number = hold::parseMadeLine(std::string_view(line.data(), line.size())))
            emit pointMade(QString::number(*number));
        else
            emit pointFailed(QStringLiteral("The package hook could not make the restore point."));
        m_socket->disconnectFromServer();
    }

    QLocalSocket* m_socket;
    QString m_frontEnd;
    QByteArray m_seen;
    bool m_answered = false;
    bool m_waitingForPoint = false;
};

QString fileSafe(const QString& text) {
    QString out;
    for (const QChar c : text) {
        const bool plain = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                           (c >= u'0' && c <= u'9') || c == u'-' || c == u'.';
        out += plain ? c : u'_';
    }
    return out;
}

} // namespace

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
    if (m_server)
        m_server->close();
}

SingleInstance::Outcome SingleInstance::claim(std::chrono::milliseconds answerWithin) {
    m_problem.clear();
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
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    // We hold the lock, so a socket left here belongs to a copy that has ended.
    QLocalServer::removeServer(m_socketPath);
    if (!m_server->listen(m_socketPath)) {
        m_problem = QStringLiteral("cannot listen on ") + m_socketPath + QStringLiteral(": ") +
                    m_server->errorString();
        return false;
    }
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::serve);
    return true;
}

bool SingleInstance::tell(std::chrono::milliseconds within) {
    const QDeadlineTimer deadline(std::max<std::chrono::milliseconds>(within, {}));
    auto left = [&] { return static_cast<int>(std::max<qint64>(deadline.remainingTime(), 1)); };
    QLocalSocket socket;
    socket.connectToServer(m_socketPath);
    if (!socket.waitForConnected(left()))
        return false;
    socket.write(kRequest);
    if (!socket.waitForBytesWritten(left()))
        return false;
    QByteArray answer;
    while (!answer.endsWith('\n') && answer.size() < kMaxRequest) {
        if (!socket.waitForReadyRead(left()))
            break;
        answer += socket.readAll();
    }
    return answer == kAnswer;
}

void SingleInstance::serve() {
    while (QLocalSocket* client = m_server->nextPendingConnection()) {
        connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        // A client that never finishes its request is not kept waiting for.
        auto* limit = new QTimer(client);
        limit->setSingleShot(true);
        connect(limit, &QTimer::timeout, client, [client] { client->abort(); });
        limit->start(kClientLimitMs);
        auto seen = std::make_shared<QByteArray>();
        connect(client, &QLocalSocket::readyRead, this, [this, client, seen, limit] {
            *seen += client->read(kMaxRequest + 1 - seen->size());
            if (!seen->contains('\n') && seen->size() <= kMaxRequest)
                return;
            disconnect(client, &QLocalSocket::readyRead, this, nullptr);
            // Only root's hook may hold a change: another process of this user could
            // otherwise bring reminders up at will.
            const auto name = hold::parseHoldLine(std::string_view(seen->data(), seen->size()));
            if (name && localPeerUid(client->socketDescriptor()) == 0u) {
                delete limit;
                emit holdRequested(new SocketHeldChange(client, QString::fromStdString(*name)));
                return;
            }
            // Notes are root's too, and answered with nothing.
            const auto note = hold::parseNoteLine(std::string_view(seen->data(), seen->size()));
            if (note && localPeerUid(client->socketDescriptor()) == 0u) {
                client->disconnectFromServer();
                emit hookNoted(*note);
                return;
            }
            const bool asked = *seen == kRequest;
            client->write(asked ? kAnswer : QByteArrayLiteral("?\n"));
            client->disconnectFromServer();
            if (asked)
                emit showRequested();
        });
    }
}

} // namespace vigilorn

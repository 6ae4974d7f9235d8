#include "DesktopNotifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

namespace vigilorn {
namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");

QDBusMessage call(const QString& method, const QVariantList& args) {
    QDBusMessage msg = QDBusMessage::createMethodCall(kService, kPath, kService, method);
    msg.setArguments(args);
    return QDBusConnection::sessionBus().call(msg, QDBus::Block, DesktopNotifier::kTimeoutMs);
}

} // namespace

std::optional<std::uint32_t> DesktopNotifier::notify(const std::string& summary,
                                                     const std::string& body,
                                                     std::uint32_t replaces) {
    if (!QDBusConnection::sessionBus().isConnected())
        return std::nullopt;
    if (!m_markup) {
        const QDBusMessage caps = call(QStringLiteral("GetCapabilities"), {});
        if (caps.type() != QDBusMessage::ReplyMessage)
            return std::nullopt;
        m_markup = caps.arguments().value(0).toStringList().contains(QStringLiteral("body-markup"));
    }
    // Package names and command lines are text, never markup.
    QString text = QString::fromStdString(body);
    if (*m_markup)
        text = text.toHtmlEscaped();
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("qmvigilorn"));
    const QDBusMessage reply =
        call(QStringLiteral("Notify"),
             {QStringLiteral("Quillmere Vigilorn"), QVariant::fromValue(replaces),
              QStringLiteral("qmvigilorn"), QString::fromStdString(summary), text, QStringList(),
              hints, -1});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1) {
        // It may come back, or another may start, before the next one.
        m_markup.reset();
        return std::nullopt;
    }
    return reply.arguments().at(0).toUInt();
}

} // namespace vigilorn

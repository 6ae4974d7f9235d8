#include "SnapperEngine.h"

#include "platform/posix/Text.h"

#include <QDBusArgument>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>

#include <ctime>

namespace vigilorn {

namespace {

const QString kPath = QStringLiteral("/org/opensuse/Snapper");
const QString kInterface = QStringLiteral("org.opensuse.Snapper");
const QString kSnapshotList = QStringLiteral("a(uquxussa{ss})");

std::string configOrRoot(const std::string& config) {
    return config.empty() ? "root" : config;
}

// snapper's D-Bus strings are escaped: a backslash doubled, every byte above 127 as \xNN.
// Its own client does the same; sending raw UTF-8 works, but reading it back would not.
QString escape(const std::string& text) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (b > 127) {
            out += "\\x";
            out += hex[b >> 4];
            out += hex[b & 15];
        } else {
            out += c;
        }
    }
    return QString::fromLatin1(out);
}

bool unescape(const QString& escaped, std::string& out) {
    return posix::unescapeBackslashHex(escaped.toStdString(), out);
}

// Reads one a(uquxussa{ss}); the caller has checked the signature, so every read matches.
// False when a string is not escaped the way snapper escapes.
bool readSnapshots(const QDBusArgument& arg, std::vector<SnapperEngine::Snapshot>& out) {
    bool ok = true;
    arg.beginArray();
    while (!arg.atEnd()) {
        SnapperEngine::Snapshot s;
        uint number = 0, preNumber = 0, uid = 0;
        ushort type = 0;
        qlonglong date = 0;
        QString description, cleanup;
        arg.beginStructure();
        arg >> number >> type >> preNumber >> date >> uid >> description >> cleanup;
        arg.beginMap();
        while (!arg.atEnd()) {
            QString key, value;
            arg.beginMapEntry();
            arg >> key >> value;
            arg.endMapEntry();
            std::string k, v;
            ok = unescape(key, k) && unescape(value, v) && ok;
            s.userdata.insert(QString::fromStdString(k), QString::fromStdString(v));
        }
        arg.endMap();
        arg.endStructure();
        s.number = number;
        s.type = type;
        s.preNumber = preNumber;
        s.date = date;
        s.uid = uid;
        ok = unescape(description, s.description) && unescape(cleanup, s.cleanup) && ok;
        out.push_back(std::move(s));
    }
    arg.endArray();
    return ok;
}

} // namespace

SnapperEngine::SnapperEngine(std::string config, QDBusConnection connection, QString service)
    : m_configName(configOrRoot(config)), m_config(escape(m_configName)),
      m_connection(std::move(connection)), m_service(std::move(service)) {
    qDBusRegisterMetaType<QMap<QString, QString>>();
}

QString SnapperEngine::escapeText(const std::string& text) {
    return escape(text);
}

bool SnapperEngine::unescapeText(const QString& escaped, std::string& out) {
    return unescape(escaped, out);
}

std::string SnapperEngine::displayName() const {
    return "snapper (config " + m_configName + ")";
}

PlatformError SnapperEngine::errorFor(const QString& name, const QString& message) {
    struct Known {
        const char* name;
        int number;
        const char* text;
    };
    static const Known known[] = {
        {"error.unknown_config", kUnknownConfig, "Unknown config."},
        {"error.no_permissions", kNoPermissions, "No permissions."},
        {"error.create_snapshot_failed", kCreateFailed, "Creating snapshot failed."},
        {"error.config_locked", kConfigLocked, "Config is locked."},
        {"error.io_error", kIoError, "Input/output error."},
        {"error.quota", kQuota, "Quota error."},
        {"error.free_space", kFreeSpace, "Not enough free space."},
        {"error.invalid_userdata", kInvalidUserdata, "Invalid userdata."},
        {"error.unsupported", kUnsupported, "Not supported."},
        {"error.dbus.marshalling", kBadArgument, "snapper could not read the request."},
        {"org.freedesktop.DBus.Error.AccessDenied", kNoPermissions, "No permissions."},
        {"org.freedesktop.DBus.Error.ServiceUnknown", kServiceUnknown,
         "snapper's D-Bus service is not available."},
        {"org.freedesktop.DBus.Error.NameHasNoOwner", kServiceUnknown,
         "snapper's D-Bus service is not available."},
        {"org.freedesktop.DBus.Error.Spawn.ChildExited", kServiceUnknown,
         "snapper's D-Bus service is not available."},
        {"org.freedesktop.DBus.Error.NoReply", kTimeout, "snapper did not answer in time."},
        {"org.freedesktop.DBus.Error.Timeout", kTimeout, "snapper did not answer in time."},
        {"org.freedesktop.DBus.Error.TimedOut", kTimeout, "snapper did not answer in time."},
        {"org.freedesktop.DBus.Error.Disconnected", kNoBus, "The system bus is not available."},
        {"org.freedesktop.DBus.Error.NoServer", kNoBus, "The system bus is not available."},
        {"org.freedesktop.DBus.Error.InvalidSignature", kBadReply,
         "snapper sent an answer of an unexpected form."},
    };
    for (const auto& k : known)
        if (name == QLatin1String(k.name))
            return {k.number, k.text};
    std::string text = "snapper reported " + (name.isEmpty() ? "an error" : name.toStdString());
    // snapperd's messages repeat a generic D-Bus name; only a real text is worth adding.
    if (!message.isEmpty() && !message.startsWith(QLatin1String("org.freedesktop.DBus.Error")))
        text += ": " + message.toStdString();
    return {kOtherError, text + "."};
}

std::string SnapperEngine::creationTime(std::int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    char text[32];
    if (!gmtime_r(&t, &tm) || std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &tm) == 0)
        return {};
    return std::string(text) + ".000000+000";
}

Failure SnapperEngine::call(const QString& method, const QVariantList& args, int timeoutMs,
                            QDBusMessage& reply) {
    if (!m_connection.isConnected())
        return PlatformError{kNoBus, "The system bus is not available."};
    QDBusMessage message = QDBusMessage::createMethodCall(m_service, kPath, kInterface, method);
    message.setArguments(args);
    // Blocks without running the event loop, so no window code runs while snapper works.
    reply = m_connection.call(message, QDBus::Block, timeoutMs);
    if (reply.type() == QDBusMessage::ErrorMessage)
        return errorFor(reply.errorName(), reply.errorMessage());
    if (reply.type() != QDBusMessage::ReplyMessage)
        return PlatformError{kBadReply, "snapper sent an answer of an unexpected form."};
    return std::nullopt;
}

Failure SnapperEngine::createRestorePoint(const std::string& description, int restorePointType,
                                          int eventType) {
    // D-Bus strings end at NUL; cutting the text short would store another description.
    if (description.find('\0') != std::string::npos)
        return PlatformError{kBadArgument, "The description can't be passed to snapper."};
    QMap<QString, QString> userdata;
    // snapper turns away keys and values holding ',' or '='; numbers never do.
    userdata.insert(QStringLiteral("vigilorn-type"), QString::number(restorePointType));
    userdata.insert(QStringLiteral("vigilorn-event"), QString::number(eventType));
    const QVariantList args{m_config, escape(description), QStringLiteral("number"),
                            QVariant::fromValue(userdata)};
    QDBusMessage reply;
    if (auto f = call(QStringLiteral("CreateSingleSnapshot"), args, kCreateTimeoutMs, reply))
        return f;
    const QVariantList out = reply.arguments();
    if (reply.signature() != QLatin1String("u") || out.size() != 1 ||
        out.at(0).metaType() != QMetaType::fromType<uint>())
        return PlatformError{kBadReply, "snapper sent an answer of an unexpected form."};
    m_lastCreated = out.at(0).toUInt();
    return std::nullopt;
}

Failure SnapperEngine::listSnapshots(std::vector<Snapshot>& out, int timeoutMs) {
    QDBusMessage reply;
    if (auto f = call(QStringLiteral("ListSnapshots"), {m_config}, timeoutMs, reply))
        return f;
    const QVariantList args = reply.arguments();
    if (reply.signature() != kSnapshotList || args.size() != 1 ||
        args.at(0).metaType() != QMetaType::fromType<QDBusArgument>())
        return PlatformError{kBadReply, "snapper sent an answer of an unexpected form."};
    const QDBusArgument arg = qvariant_cast<QDBusArgument>(args.at(0));
    if (arg.currentSignature() != kSnapshotList)
        return PlatformError{kBadReply, "snapper sent an answer of an unexpected form."};
    std::vector<Snapshot> snapshots;
    if (!readSnapshots(arg, snapshots))
        return PlatformError{kBadReply, "snapper sent an answer of an unexpected form."};
    out = std::move(snapshots);
    return std::nullopt;
}

Failure SnapperEngine::listRestorePoints(std::vector<RestorePointRecord>& out) {
    std::vector<Snapshot> snapshots;
    if (auto f = listSnapshots(snapshots))
        return f;
    std::vector<RestorePointRecord> points;
    for (const auto& s : snapshots) {
        if (s.number == 0) // "current", the live file system
            continue;
        points.push_back({std::to_string(s.number), s.description, creationTime(s.date)});
    }
    out = std::move(points);
    return std::nullopt;
}

Failure SnapperEngine::probe(int timeoutMs) {
    std::vector<Snapshot> ignored;
    return listSnapshots(ignored, timeoutMs);
}

} // namespace vigilorn

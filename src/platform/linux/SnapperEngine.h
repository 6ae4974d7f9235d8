#pragma once
// Restore points as snapper snapshots, asked for over snapper's D-Bus service.
#include "platform/RestoreEngine.h"

#include <QDBusConnection>
#include <QMap>
#include <QString>

#include <cstdint>
#include <string>
#include <vector>

namespace vigilorn {

class SnapperEngine final : public RestoreEngine {
public:
    // Error numbers, stable across versions; the description is the readable text.
    static constexpr int kNoBus = 9101;           // "The system bus is not available."
    static constexpr int kServiceUnknown = 9102;  // "snapper's D-Bus service is not available."
    static constexpr int kTimeout = 9103;         // "snapper did not answer in time."
    static constexpr int kBadReply = 9104;        // "snapper sent an answer of an unexpected form."
    static constexpr int kBadArgument = 9105;     // NUL in the text; error.dbus.marshalling
    static constexpr int kUnknownConfig = 9110;   // error.unknown_config: "Unknown config."
    static constexpr int kNoPermissions = 9111;   // error.no_permissions, or the bus said no
    static constexpr int kCreateFailed = 9112;    // error.create_snapshot_failed
    static constexpr int kConfigLocked = 9113;    // error.config_locked
    static constexpr int kIoError = 9114;         // error.io_error
    static constexpr int kQuota = 9115;           // error.quota
    static constexpr int kFreeSpace = 9116;       // error.free_space
    static constexpr int kInvalidUserdata = 9117; // error.invalid_userdata
    static constexpr int kUnsupported = 9118;     // error.unsupported
    static constexpr int kOtherError = 9119;      // any other D-Bus error, named in the text

    static constexpr int kCreateTimeoutMs = 60000; // btrfs snapshots can take seconds
    static constexpr int kListTimeoutMs = 25000;
    static constexpr int kProbeTimeoutMs = 3000;

    struct Snapshot {
        std::uint32_t number = 0;
        std::uint16_t type = 0;
        std::uint32_t preNumber = 0;
        std::int64_t date = 0; // seconds since the epoch, UTC; -1 for "current"
        std::uint32_t uid = 0;
        std::string description;
        std::string cleanup;
        QMap<QString, QString> userdata;
    };

    // `config` empty means "root". The connection and service name are for tests.
    explicit SnapperEngine(std::string config,
                           QDBusConnection connection = QDBusConnection::systemBus(),
                           QString service = QStringLiteral("org.opensuse.Snapper"));

    std::string displayName() const override;
    Failure createRestorePoint(const std::string& description, int restorePointType,
                               int eventType) override;
    Failure listRestorePoints(std::vector<RestorePointRecord>& out) override;

    // Every snapshot of the config, "current" (number 0) included.
    Failure listSnapshots(std::vector<Snapshot>& out, int timeoutMs = kListTimeoutMs);
    // Succeeds when snapper answers for the config within the time.
    Failure probe(int timeoutMs = kProbeTimeoutMs);

    // The PlatformError for a D-Bus error name (snapper's or the bus's) and its message.
    static PlatformError errorFor(const QString& name, const QString& message);
    // Seconds since the epoch as YYYYMMDDHHMMSS.000000+000 in UTC.
    static std::string creationTime(std::int64_t seconds);

    // snapper's escaping of D-Bus strings; unescapeText is false for a text snapper would not
    // have sent.
    static QString escapeText(const std::string& text);
    static bool unescapeText(const QString& escaped, std::string& out);

    std::uint32_t lastCreatedNumber() const { return m_lastCreated; }

private:
    Failure call(const QString& method, const QVariantList& args, int timeoutMs,
                 QDBusMessage& reply);

    std::string m_configName;
    QString m_config; // as sent: escaped
    QDBusConnection m_connection;
    QString m_service;
    std::uint32_t m_lastCreated = 0;
};

} // namespace vigilorn

#include "PackageKitTransactions.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QVariantMap>

namespace vigilorn {
namespace {

const QString kService = QStringLiteral("org.freedesktop.PackageKit");
const QString kPath = QStringLiteral("/org/freedesktop/PackageKit");
const QString kInterface = QStringLiteral("org.freedesktop.PackageKit");
const QString kTransaction = QStringLiteral("org.freedesktop.PackageKit.Transaction");

// PkRoleEnum values that change what is installed.
enum : std::uint32_t {
    kRoleInstallFiles = 10,
    kRoleInstallPackages = 11,
    kRoleRemovePackages = 14,
    kRoleUpdatePackages = 22,
    kRoleRepairSystem = 29,
    kRoleUpgradeSystem = 33,
};
// PkTransactionFlagEnum bits: a dry run, or a download for later, installs nothing now.
constexpr std::uint64_t kFlagSimulate = 1u << 2;
constexpr std::uint64_t kFlagOnlyDownload = 1u << 3;

QDBusMessage call(QDBusConnection& bus, QDBusMessage msg, const QElapsedTimer& clock,
                  int timeoutMs) {
    const qint64 left = timeoutMs - clock.elapsed();
    if (left <= 0)
        return {};
    // The daemon is started on demand; asking it must not start it on every pass.
    msg.setAutoStartService(false);
    return bus.call(msg, QDBus::Block, static_cast<int>(left));
}

} // namespace

bool packageKitTransactionChanges(std::uint32_t role, std::uint64_t transactionFlags) {
    if (transactionFlags & (kFlagSimulate | kFlagOnlyDownload))
        return false;
    switch (role) {
    case kRoleInstallFiles:
    case kRoleInstallPackages:
    case kRoleRemovePackages:
    case kRoleUpdatePackages:
    case kRoleRepairSystem:
    case kRoleUpgradeSystem:
        return true;
    default:
        return false;
    }
}

std::optional<std::string> PackageKitTransactions::changingPackages(int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return std::nullopt;

    const QDBusMessage list =
        call(bus,
             QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                            QStringLiteral("GetTransactionList")),
             clock, timeoutMs);
    if (list.type() != QDBusMessage::ReplyMessage || list.arguments().size() != 1)
        return std::nullopt;
    const auto paths = qdbus_cast<QList<QDBusObjectPath>>(list.arguments().at(0));

    for (const QDBusObjectPath& path : paths) {
        QDBusMessage get = QDBusMessage::createMethodCall(
            kService, path.path(), QStringLiteral("org.freedesktop.DBus.Properties"),
            QStringLiteral("GetAll"));
        get << kTransaction;
        const QDBusMessage props = call(bus, get, clock, timeoutMs);
        if (props.type() != QDBusMessage::ReplyMessage || props.arguments().size() != 1)
            continue; // ended meanwhile, or no answer: the others may still tell
        const auto values = qdbus_cast<QVariantMap>(props.arguments().at(0));
        bool roleOk = false;
        const auto role = values.value(QStringLiteral("Role")).toUInt(&roleOk);
        const auto flags = values.value(QStringLiteral("TransactionFlags")).toULongLong();
        if (roleOk && packageKitTransactionChanges(role, flags))
            return std::string("packagekitd");
    }
    return std::nullopt;
}

} // namespace vigilorn

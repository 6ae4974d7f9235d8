#pragma once
// Changes since a snapper snapshot, as snapper's own comparison finds them, and undochange.
#include "platform/RestoreChanges.h"

#include <QDBusConnection>
#include <QString>

#include <cstdint>
#include <string>

namespace vigilorn {

class SnapperChanges final : public RestoreChanges {
public:
    // snapper's file status bits (its File.h).
    static constexpr unsigned kCreated = 1;
    static constexpr unsigned kDeleted = 2;

    // Comparing two btrfs snapshots of a large system takes a while.
    static constexpr int kCompareTimeoutMs = 10 * 60 * 1000;
    static constexpr int kCallTimeoutMs = 60000;

    // `config` empty means "root". The connection and service name are for tests.
    explicit SnapperChanges(std::string config,
                            QDBusConnection connection = QDBusConnection::systemBus(),
                            QString service = QStringLiteral("org.opensuse.Snapper"));

    Failure compare(const std::string& point, const CompareCallbacks& callbacks) override;
    Failure plan(const std::string& point, RestorePlan& out) override;
    // snapper's points hold no configuration folder of their own: nothing to do here.
    Failure restoreConfig(const std::string& point, RestoreEngine& engine) override;
    bool canRunAsRoot() const override;
    Failure runAsRoot(const Command& command, std::string& output) override;

    // snapper -c <config> undochange <n>..0
    Command undoCommand(const std::string& point) const;

private:
    Failure call(const QString& method, const QVariantList& args, int timeoutMs,
                 QDBusMessage& reply);

    std::string m_configName;
    QDBusConnection m_connection;
    QString m_service;
};

} // namespace vigilorn

#include "SnapperChanges.h"

#include "RootSideRunner.h"
#include "SnapperEngine.h"
#include "platform/posix/Text.h"

#include <QDBusArgument>
#include <QDBusMessage>

#include <charconv>

namespace vigilorn {

namespace {

const QString kPath = QStringLiteral("/org/opensuse/Snapper");
const QString kInterface = QStringLiteral("org.opensuse.Snapper");
const QString kFileList = QStringLiteral("a(su)");

const PlatformError kBadReplyError{SnapperEngine::kBadReply,
                                   "snapper sent an answer of an unexpected form."};

bool toNumber(const std::string& text, std::uint32_t& out) {
    const auto r = std::from_chars(text.data(), text.data() + text.size(), out);
    return !text.empty() && r.ec == std::errc() && r.ptr == text.data() + text.size() && out > 0;
}

} // namespace

SnapperChanges::SnapperChanges(std::string config, QDBusConnection connection, QString service)
    : m_configName(config.empty() ? "root" : std::move(config)),
      m_connection(std::move(connection)), m_service(std::move(service)) {}

Failure SnapperChanges::call(const QString& method, const QVariantList& args, int timeoutMs,
                             QDBusMessage& reply) {
    if (!m_connection.isConnected())
        return PlatformError{SnapperEngine::kNoBus, "The system bus is not available."};
    QDBusMessage message = QDBusMessage::createMethodCall(m_service, kPath, kInterface, method);
    message.setArguments(args);
    reply = m_connection.call(message, QDBus::Block, timeoutMs);
    if (reply.type() == QDBusMessage::ErrorMessage)
        return SnapperEngine::errorFor(reply.errorName(), reply.errorMessage());
    if (reply.type() != QDBusMessage::ReplyMessage)
        return kBadReplyError;
    return std::nullopt;
}

Failure SnapperChanges::compare(const std::string& point, const CompareCallbacks& callbacks) {
    std::uint32_t number = 0;
    if (!toNumber(point, number))
        return PlatformError{kUnknownPoint, "There is no restore point P" + point + "."};
    const QString config = SnapperEngine::escapeText(m_configName);
    const QVariantList args{config, number, 0u};
    if (callbacks.progress)
        callbacks.progress(0, 0);
    QDBusMessage reply;
    if (auto f = call(QStringLiteral("CreateComparison"), args, kCompareTimeoutMs, reply))
        return f;
    // From here on snapperd holds the comparison until it is deleted.
    struct Release {
        SnapperChanges* self;
        QVariantList args;
        ~Release() {
            QDBusMessage ignored;
            self->call(QStringLiteral("DeleteComparison"), args, kCallTimeoutMs, ignored);
        }
    } release{this, args};

    auto cancelled = [&] { return callbacks.cancel && callbacks.cancel->load(); };
    if (cancelled())
        return PlatformError{kCancelled, "The comparison was cancelled."};
    if (auto f = call(QStringLiteral("GetFiles"), args, kCompareTimeoutMs, reply))
        return f;
    const QVariantList out = reply.arguments();
    if (reply.signature() != kFileList || out.size() != 1 ||
        out.at(0).metaType() != QMetaType::fromType<QDBusArgument>())
        return kBadReplyError;
    const QDBusArgument arg = qvariant_cast<QDBusArgument>(out.at(0));
    std::vector<Change> batch;
    std::size_t done = 0;
    arg.beginArray();
    while (!arg.atEnd()) {
        QString name;
        uint status = 0;
        arg.beginStructure();
        arg >> name >> status;
        arg.endStructure();
        Change c;
        c.area = Change::Area::System;
        if (!SnapperEngine::unescapeText(name, c.name))
            return kBadReplyError;
        c.kind = (status & kCreated)   ? Change::Kind::Added
                 : (status & kDeleted) ? Change::Kind::Removed
                                       : Change::Kind::Changed;
        batch.push_back(std::move(c));
        ++done;
        if (batch.size() == 500) {
            if (cancelled())
                return PlatformError{kCancelled, "The comparison was cancelled."};
            if (callbacks.batch)
                callbacks.batch(std::move(batch));
            batch.clear();
            if (callbacks.progress)
                callbacks.progress(done, 0);
        }
    }
    arg.endArray();
    if (callbacks.batch && !batch.empty())
        callbacks.batch(std::move(batch));
    if (callbacks.progress)
        callbacks.progress(done, done);
    return std::nullopt;
}

Command SnapperChanges::undoCommand(const std::string& point) const {
    return {"/usr/bin/snapper", {"-c", m_configName, "undochange", point + "..0"}};
}

Failure SnapperChanges::plan(const std::string& point, RestorePlan& out) {
    std::uint32_t number = 0;
    if (!toNumber(point, number))
        return PlatformError{kUnknownPoint, "There is no restore point P" + point + "."};
    out = {};
    out.rootCommand = undoCommand(std::to_string(number));
    out.notes.push_back("snapper puts back every file of config " + m_configName +
                        " that changed since P" + std::to_string(number) +
                        ", and removes the files made since.");
    return std::nullopt;
}

Failure SnapperChanges::restoreConfig(const std::string&, RestoreEngine&) {
    return std::nullopt;
}

bool SnapperChanges::canRunAsRoot() const {
    return RootSideRunner().available();
}

Failure SnapperChanges::runAsRoot(const Command& command, std::string& output) {
    // pkexec waits for the user to answer its password box: give them time.
    constexpr int kTimeoutMs = 30 * 60 * 1000;
    const auto ending = RootSideRunner().run(command, output, nullptr, kTimeoutMs);
    if (ending.ok())
        return std::nullopt;
    const auto said = posix::trim(output);
    return PlatformError{kCommandFailed, commandLine(command) + " " + ending.words() +
                                             (said.empty() ? "." : ": " + std::string(said))};
}

} // namespace vigilorn

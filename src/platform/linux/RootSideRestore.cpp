#include "RootSideRestore.h"

#include "platform/RestoreProtocol.h"

#include <QProcess>

namespace vigilorn {
namespace {

namespace proto = restoreproto;

// pkexec: 126 the user said no, 127 not authorised.
constexpr int kPkexecDismissed = 126;
constexpr int kPkexecNotAuthorised = 127;
// What is kept of the root side's standard error, for the message of a run that ended early.
constexpr std::size_t kMaxErrors = 2000;

SystemRestore::Outcome outcomeOf(proto::Outcome o) {
    switch (o) {
    case proto::Outcome::Ok:
        return SystemRestore::Outcome::Ok;
    case proto::Outcome::Stopped:
        return SystemRestore::Outcome::Stopped;
    case proto::Outcome::Failed:
        break;
    }
    return SystemRestore::Outcome::Failed;
}

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ' || s.back() == '\r'))
        s.pop_back();
    const auto nl = s.rfind('\n');
    return nl == std::string::npos ? s : s.substr(nl + 1);
}

} // namespace

RootSideRestore::RootSideRestore(Options options) : m_options(std::move(options)) {}

RootSideRestore::~RootSideRestore() {
    if (!m_process)
        return;
    m_process->disconnect();
    // The end of its input answers a question still open with stop.
    m_process->closeWriteChannel();
    m_process->kill();
    // QProcess would wait for its child as it goes, and a root child can't be signalled by
    // its user: it is left to finish on its own while the program ends.
    (void)m_process.release();
}

bool RootSideRestore::start(std::uint64_t point, Events events) {
    if (m_process)
        return false;
    m_events = std::move(events);
    m_result = {};
    m_buffer.clear();
    m_errors.clear();
    m_missing.clear();
    m_asking = false;
    m_haveEnd = false;
    m_abandoned.clear();

    QString program = QString::fromStdString(m_options.maker);
    QStringList arguments{QStringLiteral("restore"), QStringLiteral("--point"),
                          QString::number(point)};
    if (!m_options.asRoot) {
        // pkexec takes no "--": the maker's absolute path can't be read as one of its options.
        arguments.prepend(program);
        program = QString::fromStdString(m_options.pkexec);
    }
    m_process = std::make_unique<QProcess>();
    QProcess* p = m_process.get();
    QObject::connect(p, &QProcess::readyReadStandardOutput, p, [this] { readOutput(); });
    QObject::connect(p, &QProcess::readyReadStandardError, p, [this] { readErrors(); });
    QObject::connect(p, &QProcess::finished, p, [this](int code, QProcess::ExitStatus status) {
        ended(code, status != QProcess::NormalExit);
    });
    QObject::connect(p, &QProcess::errorOccurred, p, [this, program](QProcess::ProcessError e) {
        if (e != QProcess::FailedToStart)
            return;
        m_abandoned = "Could not start " + program.toStdString() + ": " +
                      m_process->errorString().toStdString();
        // No finished signal follows a start that failed.
        QMetaObject::invokeMethod(
            m_process.get(), [this] { ended(-1, true); }, Qt::QueuedConnection);
    });
    p->start(program, arguments);
    return true;
}

std::optional<std::string> RootSideRestore::childPid() const {
    // pkexec runs the root side in its own process, so this PID stays the root side's.
    const qint64 pid = m_process ? m_process->processId() : 0;
    return pid > 0 ? std::optional<std::string>(std::to_string(pid)) : std::nullopt;
}

void RootSideRestore::answer(bool go) {
    if (!m_process || !m_asking)
        return;
    m_asking = false;
    const std::string_view line = go ? proto::kGo : proto::kStop;
    m_process->write(line.data(), static_cast<qint64>(line.size()));
}

void RootSideRestore::readOutput() {
    char chunk[4096];
    while (m_abandoned.empty()) {
        const qint64 n = m_process->read(chunk, sizeof chunk);
        if (n <= 0)
            break;
        for (qint64 i = 0; i < n && m_abandoned.empty(); ++i) {
            if (chunk[i] != '\n') {
                m_buffer += chunk[i];
                if (m_buffer.size() >= proto::kMaxLine)
                    abandon("The root side sent a line longer than " +
                            std::to_string(proto::kMaxLine) + " bytes.");
                continue;
            }
            const std::string line = std::move(m_buffer);
            m_buffer.clear();
            handleLine(line);
        }
    }
}

void RootSideRestore::readErrors() {
    m_errors += m_process->readAllStandardError().toStdString();
    if (m_errors.size() > kMaxErrors)
        m_errors.erase(0, m_errors.size() - kMaxErrors);
}

void RootSideRestore::handleLine(const std::string& line) {
    if (m_haveEnd)
        return;
    const auto m = proto::parse(line);
    // A line this program does not know is not acted on.
    if (!m)
        return;
    switch (m->kind) {
    case proto::Kind::Missing:
        if (m_missing.size() < 10000)
            m_missing.push_back({m->name, m->version, m->arch});
        break;
    case proto::Kind::Ask:
        m_asking = true;
        if (m_events.ask)
            m_events.ask(m_missing);
        else
            answer(false);
        break;
    case proto::Kind::Step:
        if (m_events.step)
            m_events.step(m->done, m->total, m->text);
        break;
    case proto::Kind::Warn:
        if (m_result.warnings.size() < 1000)
            m_result.warnings.push_back(m->text);
        if (m_events.warn)
            m_events.warn(m->text);
        break;
    case proto::Kind::Before:
        m_result.before = m->done;
        if (m_events.before)
            m_events.before(m->done);
        break;
    case proto::Kind::End:
        m_haveEnd = true;
        m_asking = false;
        m_result.outcome = outcomeOf(m->outcome);
        m_result.text = m->text;
        break;
    }
}

void RootSideRestore::abandon(const std::string& why) {
    if (!m_abandoned.empty())
        return;
    m_abandoned = why;
    m_asking = false;
    m_process->closeWriteChannel();
    m_process->kill();
}

void RootSideRestore::ended(int exitCode, bool crashed) {
    if (!m_process)
        return;
    if (m_abandoned.empty()) {
        readErrors();
        readOutput();
    }
    Result result = std::move(m_result);
    if (!m_abandoned.empty()) {
        result.outcome = Outcome::Failed;
        result.text = m_abandoned;
    } else if (!m_haveEnd) {
        result.outcome = Outcome::Failed;
        const std::string said = trimmed(m_errors);
        if (!crashed && (exitCode == kPkexecDismissed || exitCode == kPkexecNotAuthorised) &&
            !m_options.asRoot)
            result.text = "Restoring was not authorised.";
        else
            result.text =
                "The root side ended before the restore was finished (" +
                (crashed ? std::string("it crashed") : "exit code " + std::to_string(exitCode)) +
                ")" + (said.empty() ? "." : ": " + said);
    }
    // The events may start another run.
    m_process.release()->deleteLater();
    Events events = std::move(m_events);
    m_events = {};
    if (events.finished)
        events.finished(result);
}

} // namespace vigilorn

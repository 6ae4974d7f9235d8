#include "RootSideRestore.h"

#include "platform/RestoreProtocol.h"

namespace vigilorn {
namespace {

namespace proto = restoreproto;

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

RootSideRestore::RootSideRestore(Options options)
    : m_options(std::move(options)), m_runner({m_options.pkexec, m_options.asRoot}) {}

// The runner ends its input, which answers a question still open with stop.
RootSideRestore::~RootSideRestore() = default;

bool RootSideRestore::start(std::uint64_t point, Events events) {
    if (m_runner.running())
        return false;
    m_events = std::move(events);
    m_result = {};
    m_buffer.clear();
    m_errors.clear();
    m_missing.clear();
    m_asking = false;
    m_haveEnd = false;
    m_abandoned.clear();

    RootSideRunner::Events run;
    run.output = [this](std::string_view bytes) { readOutput(bytes); };
    run.errors = [this](std::string_view bytes) { readErrors(bytes); };
    run.finished = [this](const RootSideRunner::Ending& e) { ended(e); };
    return m_runner.start({m_options.maker, {"restore", "--point", std::to_string(point)}},
                          std::move(run));
}

void RootSideRestore::answer(bool go) {
    if (!m_runner.running() || !m_asking)
        return;
    m_asking = false;
    m_runner.write(go ? proto::kGo : proto::kStop);
}

void RootSideRestore::readOutput(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size() && m_abandoned.empty(); ++i) {
        if (bytes[i] != '\n') {
            m_buffer += bytes[i];
            if (m_buffer.size() >= proto::kMaxLine)
                abandon("The root side sent a line longer than " + std::to_string(proto::kMaxLine) +
                        " bytes.");
            continue;
        }
        const std::string line = std::move(m_buffer);
        m_buffer.clear();
        handleLine(line);
    }
}

void RootSideRestore::readErrors(std::string_view bytes) {
    m_errors += bytes;
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
    m_runner.closeInput();
    m_runner.kill();
}

void RootSideRestore::ended(const RootSideRunner::Ending& ending) {
    Result result = std::move(m_result);
    using How = RootSideRunner::Ending::How;
    if (!m_abandoned.empty()) {
        result.outcome = Outcome::Failed;
        result.text = m_abandoned;
    } else if (ending.how == How::NotStarted) {
        result.outcome = Outcome::Failed;
        result.text = "Could not start " + m_runner.started({m_options.maker, {}}).program + ": " +
                      ending.detail;
    } else if (!m_haveEnd) {
        result.outcome = Outcome::Failed;
        const std::string said = trimmed(m_errors);
        if (ending.how == How::NotAuthorised)
            result.text = "Restoring " + ending.words() + ".";
        else
            result.text =
                "The root side ended before the restore was finished (" +
                (ending.how == How::Crashed ? std::string("it crashed")
                                            : "exit code " + std::to_string(ending.exitCode)) +
                ")" + (said.empty() ? "." : ": " + said);
    }
    // The events may start another run.
    Events events = std::move(m_events);
    m_events = {};
    if (events.finished)
        events.finished(result);
}

} // namespace vigilorn

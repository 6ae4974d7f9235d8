#include "Hook.h"

#include "Run.h"
#include "platform/posix/Text.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>

namespace vigilorn::sys {

namespace {

constexpr std::size_t kMaxCmdline = 64 * 1024;
// dpkg-deb reads no more than the control part of a package file: a second each at most.
constexpr std::size_t kMaxDebsRead = 32;
constexpr std::chrono::milliseconds kDebCap{5000};

std::optional<std::string> env(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

std::string userName(uid_t uid) {
    passwd pw{};
    passwd* found = nullptr;
    std::array<char, 4096> buf;
    if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == 0 && found && pw.pw_name)
        return pw.pw_name;
    return "user " + std::to_string(uid);
}

bool parseFd(const std::string& text, int& fd) {
    return posix::parseDecimal(text, fd, 9'999'999);
}

// What the program is told after the maker ended, when the user was not asked about it.
std::optional<hold::Note> noteFor(const MakerResult& made, bool asked,
                                  const std::string& frontend) {
    using Kind = hold::Note::Kind;
    if (made.status != MakerResult::Status::Made)
        return asked ? std::nullopt : std::optional<hold::Note>({Kind::NoPoint, 0, 0, frontend});
    if (asked && made.notKept == 0)
        return std::nullopt;
    return hold::Note{asked ? Kind::Unkept : Kind::Auto, made.number, made.notKept, frontend};
}

} // namespace

HookEnvironment HookEnvironment::fromProcess() {
    HookEnvironment e;
    e.ids = {env("PKEXEC_UID"), env("SUDO_UID"), env("PACKAGEKIT_CALLER_UID")};
    e.infoFd = env("APT_HOOK_INFO_FD");
    e.frontendLocked = env("DPKG_FRONTEND_LOCKED");
    e.hookAction = env("DPKG_HOOK_ACTION");
    e.parent = ::getppid();
    return e;
}

Hook::Hook(HookSettings settings)
    : m_settings(std::move(settings)), m_programs(m_settings.runUserRoot),
      m_maker(m_settings.makerPath, m_settings.makerCap), m_proc(m_settings.procRoot) {}

void Hook::say(const std::string& text) const {
    const std::string line = "Vigilorn: " + text + '\n';
    std::string_view rest = line;
    while (!rest.empty()) {
        const ssize_t n = ::write(m_settings.errFd, rest.data(), rest.size());
        if (n <= 0)
            return;
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
}

MakerResult Hook::makePoint(const Change& change, pointreq::Reason reason) const {
    MakerRequest request{{reason, change.frontend, change.description, change.commandLine},
                         actionLines(change.actions)};
    if (reason == pointreq::Reason::Asked) {
        request.request.description = pointreq::kAskedDescription;
        request.request.change = change.commandLine.value_or(change.description);
    }
    MakerResult result = m_maker.make(request);
    switch (result.status) {
    case MakerResult::Status::Made:
        if (m_settings.terminal && change.quiet < 1)
            say("restore point " + std::to_string(result.number) + " made");
        break;
    case MakerResult::Status::Missing:
        say("no restore point: " + m_maker.path() + " cannot be run (" + result.problem +
            "); the installation goes on");
        break;
    case MakerResult::Status::Failed:
    case MakerResult::Status::TimedOut:
        say("no restore point: " + m_maker.path() + " " + result.problem +
            "; the installation goes on");
        break;
    }
    return result;
}

HookOutcome Hook::decide(const Change& change, const std::vector<uid_t>& uids,
                         Standing standing) const {
    HookOutcome outcome;
    if (uids.empty()) {
        outcome.decision = Decision::Unattended;
        outcome.maker = makePoint(change, pointreq::Reason::Unattended);
        return outcome;
    }
    // They did not start the change, so nothing of theirs may hold it: a listener of their own
    // could otherwise keep every unattended run waiting.
    if (standing == Standing::Bystanders) {
        outcome.maker = makePoint(change, pointreq::Reason::Auto);
        // Not asked: always told, of the point or of its failure.
        const std::string note = hold::noteLine(*noteFor(*outcome.maker, false, change.frontend));
        for (const uid_t uid : uids)
            if (const posix::Fd program = m_programs.connect(uid, m_settings.connectCap);
                program.valid()) {
                outcome.decision = Decision::Told;
                sendLine(program.get(), note, m_settings.connectCap);
                break;
            }
        return outcome;
    }
    posix::Fd program;
    uid_t asked = 0;
    for (const uid_t uid : uids) {
        program = m_programs.connect(uid, m_settings.connectCap);
        if (program.valid()) {
            asked = uid;
            break;
        }
    }
    // Nobody there to ask: the change still gets its point first.
    if (!program.valid()) {
        outcome.maker = makePoint(change, pointreq::Reason::Auto);
        return outcome;
    }

    if (m_settings.terminal && change.quiet < 2)
        say("waiting up to " + std::to_string(m_settings.answerCap.count() / 1000) + " s for " +
            userName(asked) +
            "'s answer to the restore point reminder (Ctrl-C stops the installation)");
    switch (askToHold(program.get(), change.frontend, m_settings.answerCap)) {
    case hold::Answer::Go:
        outcome.decision = Decision::Go;
        // Whoever started the change is not the one who said so.
        if (standing == Standing::AtTheMachine) {
            program.reset();
            outcome.maker = makePoint(change, pointreq::Reason::Auto);
        }
        break;
    case hold::Answer::Off:
        // Not waited for, as if no program ran.
        outcome.decision = Decision::Off;
        program.reset();
        outcome.maker = makePoint(change, pointreq::Reason::Auto);
        break;
    case hold::Answer::Point: {
        outcome.decision = Decision::Asked;
        outcome.maker = makePoint(change, pointreq::Reason::Asked);
        const bool made = outcome.maker->status == MakerResult::Status::Made;
        sendLine(program.get(),
                 made ? hold::madeLine(outcome.maker->number) : std::string(hold::kFailedLine),
                 m_settings.connectCap);
        break;
    }
    case hold::Answer::Auto:
        outcome.decision = Decision::Auto;
        program.reset();
        outcome.maker = makePoint(change, pointreq::Reason::Auto);
        break;
    case hold::Answer::None:
        outcome.decision = Decision::NoAnswer;
        program.reset();
        if (m_settings.terminal && change.quiet < 2)
            say("no answer to the restore point reminder; making one");
        outcome.maker = makePoint(change, pointreq::Reason::Auto);
        break;
    }
    if (outcome.maker)
        if (const auto note =
                noteFor(*outcome.maker, outcome.decision == Decision::Asked, change.frontend))
            tellProgram(m_programs, asked, *note, m_settings.connectCap);
    return outcome;
}

Change Hook::describe(std::vector<PackageAction> actions, std::string commandLine,
                      const std::vector<Ancestor>& chain) const {
    Change change;
    change.frontend = frontendWord(frontendName(chain));
    // PackageKit's command line names its role ("packagekit role='install-files'"), not the
    // packages.
    const bool named = !commandLine.empty() && commandLine.rfind("packagekit role=", 0) != 0;
    change.description =
        named ? boundedDescription(commandLine) : summarise(change.frontend, actions);
    change.actions = std::move(actions);
    return change;
}

int Hook::runApt(const HookEnvironment& env) const {
    int fd = -1;
    // Standard output and error are APT's terminal, never its list.
    if (!env.infoFd || !parseFd(*env.infoFd, fd) || fd == STDOUT_FILENO || fd == STDERR_FILENO ||
        ::fcntl(fd, F_GETFD) < 0) {
        say("APT_HOOK_INFO_FD does not name a descriptor; no reminder");
        return 0;
    }
    std::string text;
    const ReadResult read = readBounded(fd, text, m_settings.maxInput, m_settings.inputCap);
    ::close(fd);
    AptInput input;
    if (read == ReadResult::Complete)
        input = parseAptInput(text);
    // APT goes ahead all the same: what it changes is not known, but the point is still made.
    if (read != ReadResult::Complete || !input.understood) {
        const std::string why = read == ReadResult::TooLarge   ? "is too large"
                                : read == ReadResult::TimedOut ? "did not end in time"
                                : read == ReadResult::Failed   ? "cannot be read"
                                                               : "is not in its version 3 form";
        say("APT's package list " + why + "; the restore point names no packages");
        const auto chain = m_proc.ancestors(env.parent);
        Change change = describe({}, {}, chain);
        change.description =
            boundedDescription(change.frontend + " change (its package list " + why + ")");
        const AskedUsers asked = whoIsAsked(env.ids, m_proc, chain, m_settings.sessionsDir);
        decide(change, asked.uids, asked.standing);
        return 0;
    }
    // Our own restore made its point before it started.
    if (input.actions.empty() || input.ownRestore)
        return 0;
    const auto chain = m_proc.ancestors(env.parent);
    Change change = describe(std::move(input.actions), std::move(input.commandLine), chain);
    change.quiet = input.quiet;
    // Root's command line may hold a proxy's password: the list every user reads names the
    // packages, the point keeps the line.
    if (const auto summary = summarise(change.frontend, change.actions);
        summary != change.description) {
        change.commandLine = std::move(change.description);
        change.description = summary;
    }
    const AskedUsers asked = whoIsAsked(env.ids, m_proc, chain, m_settings.sessionsDir);
    decide(change, asked.uids, asked.standing);
    return 0;
}

DebReader Hook::debReader(pid_t dpkg) const {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + m_settings.debCap;
    auto count = std::make_shared<std::size_t>(0);
    return [this, dpkg, deadline, count](const std::string& file) -> std::optional<DebFields> {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (dpkg <= 0 || ++*count > kMaxDebsRead || left.count() <= 0 || file.empty())
            return std::nullopt;
        // A name dpkg was given relative to its own folder, found through it; never an option.
        const std::string path =
            file.front() == '/' ? file
                                : m_settings.procRoot + '/' + std::to_string(dpkg) + "/cwd/" + file;
        RunOptions o;
        o.cap = std::min(left, kDebCap);
        o.keep = 4096;
        o.keepStart = true;
        o.errorsTo = RunOptions::Errors::Apart;
        const RunResult r =
            run({m_settings.dpkgDeb, "-f", path, "Package", "Version", "Architecture"}, o);
        if (r.status != 0 || r.cut)
            return std::nullopt;
        return parseDebFields(r.output);
    };
}

int Hook::runDpkg(const HookEnvironment& env) const {
    // Under APT its own hook has asked already.
    if (env.frontendLocked || !env.hookAction || !dpkgActionChanges(*env.hookAction))
        return 0;
    const auto chain = m_proc.ancestors(env.parent);
    const Ancestor* dpkg = nullptr;
    for (const auto& a : chain)
        if (a.comm == "dpkg") {
            dpkg = &a;
            break;
        }
    std::vector<std::string> args;
    if (!dpkg || !m_proc.arguments(dpkg->pid, args, kMaxCmdline))
        args.clear();
    DpkgRun run = parseDpkgArguments(args, *env.hookAction, debReader(dpkg ? dpkg->pid : 0));
    if (run.dryRun)
        return 0;
    Change change = describe(std::move(run.actions), std::move(run.description), chain);
    const AskedUsers asked = whoIsAsked(env.ids, m_proc, chain, m_settings.sessionsDir);
    decide(change, asked.uids, asked.standing);
    return 0;
}

} // namespace vigilorn::sys

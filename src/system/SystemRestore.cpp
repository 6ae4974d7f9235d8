#include "SystemRestore.h"

#include "Console.h"
#include "EtcRestore.h"
#include "ProgressWords.h"
#include "RestorePlan.h"
#include "RootFiles.h"
#include "StoredPoint.h"
#include "debian/PackagePool.h"
#include "platform/RestoreProtocol.h"
#include "platform/posix/Text.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>

namespace vigilorn::sys {

namespace proto = restoreproto;

namespace {

constexpr std::size_t kMaxReported = 20;

class Talk {
public:
    explicit Talk(const RestoreOptions& o) : m_o(o) {}
    // A line of the protocol; on a terminal, in words.
    void send(const std::string& line) { write(m_o.terminal ? consoleText(line) : line); }
    void write(const std::string& text) {
        std::string_view rest = text;
        while (!rest.empty()) {
            const ssize_t n = ::write(m_o.outFd, rest.data(), rest.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return; // nobody listens any more; the restore still ends as it should
            rest.remove_prefix(static_cast<std::size_t>(n));
        }
    }
    void step(std::uint64_t done, std::uint64_t total, const std::string& text) {
        send(proto::stepLine(done, total, text));
    }
    void warn(const std::string& text) {
        ++warnings;
        send(proto::line("warn", text));
    }
    int end(proto::Outcome outcome, const std::string& text) {
        send(proto::endLine(outcome, text));
        return outcome == proto::Outcome::Ok        ? kRestored
               : outcome == proto::Outcome::Stopped ? kNothingChanged
                                                    : kFailed;
    }
    // go: true; stop, nothing in time, or anything else: false. On a terminal, y or yes.
    bool ask() {
        if (m_o.terminal) {
            write("Restore this point? [y/N] ");
            const bool yes = answeredYes(readLine());
            if (yes) {
                // Ended half-way the machine would be neither as it was nor as the point has it;
                // what we started runs in process groups of its own, out of the terminal's reach.
                for (const int sig : {SIGINT, SIGQUIT, SIGHUP, SIGTSTP})
                    std::signal(sig, SIG_IGN);
                write("The restore now runs to its end; Ctrl-C does not stop it.\n");
            }
            return yes;
        }
        send(proto::line("ask"));
        return readLine() == proto::kGo;
    }
    std::size_t warnings = 0;

private:
    // A line, its newline included, or what came before the bound, the end or the time ran out.
    std::string readLine() {
        const int seconds = m_o.askSeconds > 0 ? m_o.askSeconds : proto::kAskSeconds;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        std::string got;
        while (got.size() < proto::kMaxLine) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  until - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0)
                return {};
            pollfd p{m_o.inFd, POLLIN, 0};
            const int ready = ::poll(&p, 1, static_cast<int>(left));
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0)
                return {};
            char c = 0;
            const ssize_t n = ::read(m_o.inFd, &c, 1);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return {};
            got += c;
            if (c == '\n')
                return got;
        }
        return {};
    }

    const RestoreOptions& m_o;
};

// The point, whole, read only from the root-owned store, and where its packages are kept.
struct OpenPoint {
    posix::Fd root;
    std::optional<PackagePool> pool;
    std::optional<FolderLock> lock;
    StoredPoint point;
};

// Nothing is made here: a machine without points has nothing to restore. The lock is held for
// as long as `out.lock` is: no creation prunes the point meanwhile.
Failure openPoint(unsigned long long number, const RestoreOptions& options, bool makePool,
                  const char* busy, OpenPoint& out) {
    const std::string& folder = options.store.folder;
    posix::Fd repo, poolFolder;
    if (auto f = openRootPath(folder, 0755, out.root, false))
        return f;
    if (auto f =
            openRootFolder(out.root.get(), "points.git", folder + "/points.git", 0700, repo, false))
        return f;
    if (auto f = openRootFolder(out.root.get(), kPoolFolderName, folder + "/" + kPoolFolderName,
                                0700, poolFolder, makePool))
        return f;
    out.pool.emplace(std::move(poolFolder), folder + "/" + kPoolFolderName);
    out.lock.emplace();
    if (auto f = out.lock->acquire(out.root.get(), SystemStore::kLockName,
                                   options.store.lockWaitSeconds, busy))
        return f;
    return readStoredPoint(folder + "/points.git", number, kMaxPointBytes, out.point);
}

std::unique_ptr<PackageSystem> packageSystem(const RestoreOptions& options, PackagePool* pool) {
    PackageTools tools = options.packages;
    tools.status = options.store.dpkgStatus;
    return makePackageSystem(tools, pool);
}

// What to put back, and from where; never this program or the running kernel.
PackagePlan planRestore(const StoredPoint& point, PackageSystem& packages,
                        const InstalledVersions& now) {
    PackagePlan plan = planPackages(
        packages.pointPackages(point.packages), now,
        [&](const PackageTarget& t) { return packages.kept(t); },
        [&](const std::vector<PackageTarget>& t) { return packages.available(t); });
    leaveAlone(plan, packages.guarded(), now);
    return plan;
}

std::string shownPlan(unsigned long long number, const StoredPoint& point, const PackagePlan& plan,
                      PackageSystem& packages, const std::string& etc) {
    return "Restoring P" + std::to_string(number) + " (" + point.description + ") changes this:\n" +
           formatRestorePlan(plan, planEtc(etc, point),
                             [&](const PackageTarget& t) { return packages.shownName(t); });
}

std::string downgradeText(const SecurityDowngrade& d, PackageSystem& packages) {
    return packages.shownName(d.target) + " goes back to " + d.target.version + ", below " +
           d.security + " from " + d.suite + ": the security fixes since are undone";
}

// Whatever a careful administrator would want to know first is said before go, and then the
// restore asks: versions not to be had, passwords and keys as they were then, security fixes
// undone, packages left alone. A terminal has the whole plan shown, and always asks.
bool confirm(Talk& talk, const RestoreOptions& options, unsigned long long number,
             const OpenPoint& opened, const PackagePlan& plan, PackageSystem& packages,
             const InstalledVersions& now) {
    const auto credentials = credentialChanges(options.store.etc, opened.point);
    const auto downgrades = packages.securityDowngrades(plan, now);
    if (options.terminal)
        talk.write(shownPlan(number, opened.point, plan, packages, options.store.etc));
    if (!options.terminal && plan.missing.empty() && plan.leftAlone.empty() &&
        credentials.empty() && downgrades.empty())
        return true;
    for (const auto& t : plan.missing)
        talk.send(proto::missingLine(t.name, t.version, t.arch));
    // A terminal has the credentials and the packages left alone in the plan, marked.
    for (const auto& path : options.terminal ? std::vector<std::string>{} : credentials)
        talk.send(proto::line("warn", "/" + path +
                                          " goes back as it was at the point: accounts, "
                                          "passwords, sudo rights or keys as they were then"));
    for (const auto& d : downgrades)
        talk.send(proto::line("warn", downgradeText(d, packages)));
    for (const auto& t : options.terminal ? std::vector<PackageTarget>{} : plan.leftAlone)
        talk.send(proto::line("warn", t.name + " " + t.version + " " + t.arch +
                                          " is left as it is: a restore never changes "
                                          "this program or the running kernel"));
    return talk.ask();
}

// A point of how things are now, so that the restore can be undone; it keeps what the restore
// replaces, and never prunes the point being restored.
Failure makeBeforePoint(Talk& talk, const RestoreOptions& options, unsigned long long number,
                        const PackagePlan& plan, PackageSystem& packages,
                        const InstalledVersions& now) {
    Request request;
    request.reason = Reason::Restore;
    request.frontend = "qmvigilorn-system";
    request.description = "Before restoring P" + std::to_string(number);
    request.keep = std::to_string(number);
    request.actions = planActions(plan, now, packages);
    SystemStore::Options o = options.store;
    o.keepPackages = true;
    o.lockHeld = true;
    o.warn = [&](const std::string& text) { talk.warn(text); };
    SystemStore store(o);
    unsigned long long before = 0;
    if (auto f = store.create(request, before))
        return f;
    talk.send(proto::beforeLine(before));
    return std::nullopt;
}

// What is still not as the point has it once the package system is done.
void sayWhatIsNotBack(Talk& talk, const StoredPoint& point, PackageSystem& packages) {
    const auto after = packages.installed();
    if (!after)
        return;
    PackagePlan left = planPackages(
        packages.pointPackages(point.packages), *after,
        [](const PackageTarget&) { return std::nullopt; },
        [](const std::vector<PackageTarget>& t) { return std::vector<bool>(t.size()); });
    leaveAlone(left, packages.guarded(), *after);
    std::size_t reported = 0;
    for (const auto* list : {&left.missing, &left.install})
        for (const auto& t : *list)
            if (reported++ < kMaxReported)
                talk.warn(t.name + " " + t.version + " " + t.arch + " is not back");
    for (const auto& t : left.remove)
        if (reported++ < kMaxReported)
            talk.warn(t.name + " " + t.version + " " + t.arch + " is still installed");
}

} // namespace

std::optional<unsigned long long> parseRestoreArguments(const std::vector<std::string>& args) {
    if (args.size() != 3 || args[0] != "restore" || args[1] != "--point")
        return std::nullopt;
    const std::string& text = args[2];
    unsigned long long n = 0;
    // Written as the list writes it: no leading zero.
    if (text.empty() || text[0] == '0' || !posix::parseDecimal(text, n, kMaxPointNumber))
        return std::nullopt;
    return n;
}

int restorePoint(unsigned long long number, const RestoreOptions& options) {
    Talk talk(options);
    const std::string shownPoint = "P" + std::to_string(number);

    // 1. The point; the lock is held to the end, so that no creation prunes the point or takes
    // a half-restored /etc, and no other restore writes into /etc meanwhile.
    talk.step(0, 5, "reading " + shownPoint);
    OpenPoint opened;
    if (auto f =
            openPoint(number, options, true,
                      "A system point is being made or another restore runs; try again", opened))
        return talk.end(proto::Outcome::Failed, f->description);
    const auto packages = packageSystem(options, &*opened.pool);
    const auto now = packages->installed();
    if (!now)
        return talk.end(proto::Outcome::Failed, "could not read dpkg's status");

    // 2. What to put back, and from where; what needs saying before go.
    talk.step(1, 5, "working out the packages");
    const PackagePlan plan = planRestore(opened.point, *packages, *now);
    if (!confirm(talk, options, number, opened, plan, *packages, *now))
        return talk.end(proto::Outcome::Stopped, "nothing was changed");

    // 3. The point before restoring.
    talk.step(2, 5, "making the point before restoring");
    if (auto f = makeBeforePoint(talk, options, number, plan, *packages, *now))
        return talk.end(proto::Outcome::Failed,
                        "the point before restoring could not be made: " + f->description);

    // 4. The packages.
    if (!plan.install.empty() || !plan.remove.empty()) {
        talk.step(3, 5, packagesStep(plan.install.size(), plan.remove.size()));
        const PutBack ran =
            packages->putBack(plan, number, [&](const std::string& text) { talk.warn(text); });
        if (ran == PutBack::NotFetched)
            return talk.end(proto::Outcome::Failed,
                            "the packages could not be downloaded; neither they nor /etc were "
                            "changed");
        if (ran == PutBack::HalfWay)
            return talk.end(proto::Outcome::Failed,
                            "apt-get did not end well and left packages half-way; /etc was left "
                            "as it is");
        sayWhatIsNotBack(talk, opened.point, *packages);
    }

    // 5. /etc, last, so that it wins over whatever the packages brought.
    talk.step(4, 5, "putting /etc back");
    const EtcResult etc = restoreEtc(options.store.etc, opened.point,
                                     [&](const std::string& text) { talk.warn(text); });
    talk.step(5, 5,
              "/etc: " + std::to_string(etc.written) + " written, " + std::to_string(etc.removed) +
                  " removed");
    if (talk.warnings > 0)
        return talk.end(proto::Outcome::Failed, shownPoint + " restored in part; " +
                                                    counted(talk.warnings, "part", "parts") +
                                                    " failed");
    return talk.end(proto::Outcome::Ok, shownPoint + " restored");
}

Failure showPoint(unsigned long long number, const RestoreOptions& options, std::string& out) {
    OpenPoint opened;
    if (auto f =
            openPoint(number, options, false, "A system point is being made; try again", opened))
        return f;
    opened.lock.reset();
    const auto packages = packageSystem(options, &*opened.pool);
    const auto now = packages->installed();
    if (!now)
        return PlatformError{ErrorNumber::CantPerformOperation, "could not read dpkg's status"};
    const PackagePlan plan = planRestore(opened.point, *packages, *now);
    out = shownPlan(number, opened.point, plan, *packages, options.store.etc);
    for (const auto& d : packages->securityDowngrades(plan, *now))
        out += consoleText(proto::line("warn", downgradeText(d, *packages)));
    return std::nullopt;
}

} // namespace vigilorn::sys

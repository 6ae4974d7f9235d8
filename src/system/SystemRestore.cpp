#include "SystemRestore.h"

#include "Console.h"
#include "EtcRestore.h"
#include "ProgressWords.h"
#include "RootFiles.h"
#include "Run.h"
#include "StoredPoint.h"
#include "debian/PackagePool.h"
#include "platform/RestoreProtocol.h"
#include "platform/posix/Text.h"
#include "store/Deb822.h"
#include "store/DebianPackages.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <set>

namespace vigilorn::sys {

namespace proto = restoreproto;

namespace {

constexpr std::int64_t kMaxStatusSize = 512 * 1024 * 1024;
constexpr std::size_t kMaxAptCacheOutput = 16 * 1024 * 1024;
constexpr std::size_t kMaxReported = 20;

std::pair<std::string, std::string> splitKey(const std::string& key) {
    const auto tab = key.find('\t');
    return {key.substr(0, tab), tab == std::string::npos ? std::string() : key.substr(tab + 1)};
}

std::string aptName(const PackageTarget& t, const std::string& native) {
    return t.arch.empty() || t.arch == "all" || t.arch == native ? t.name : t.name + ':' + t.arch;
}

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

// The last few lines of a program's output, for a warning.
std::string tail(const std::string& output, std::size_t lines = 3) {
    std::string_view text = output;
    while (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);
    // A program that said nothing: there is no line to start from.
    if (text.empty())
        return {};
    std::size_t at = text.size();
    for (std::size_t i = 0; i < lines && at != std::string_view::npos && at > 0; ++i)
        at = text.rfind('\n', at - 1);
    return std::string(text.substr(at == std::string_view::npos ? 0 : at + 1));
}

std::optional<std::string> readStatus(const std::string& path) {
    return readSmall(AT_FDCWD, path.c_str(), kMaxStatusSize);
}

// dpkg's own architecture: its packages are named without one.
std::string nativeArchitecture(const std::string& dpkg) {
    RunOptions o;
    o.cap = std::chrono::seconds(20);
    o.keep = 256;
    o.keepStart = true;
    const RunResult r = run({dpkg, "--print-architecture"}, o);
    return r.status == 0 ? r.output.substr(0, r.output.find('\n')) : std::string();
}

// Which of the versions the archive can download: apt-cache shows a stanza for each version
// it knows, with a Filename when it can be had.
std::vector<bool> archiveHas(const std::string& aptCache, const std::vector<PackageTarget>& targets,
                             const std::string& native) {
    std::vector<std::string> args{aptCache, "show"};
    for (const auto& t : targets)
        args.push_back(aptName(t, native) + '=' + t.version);
    RunOptions o;
    o.cap = std::chrono::seconds(60);
    o.keep = kMaxAptCacheOutput;
    o.keepStart = true;
    const RunResult r = run(args, o);
    std::set<std::string> downloadable;
    debian::forEachStanza(r.output, [&](const debian::Stanza& s) {
        if (!s["Filename"].empty())
            downloadable.insert(std::string(s["Package"]) + '\t' + std::string(s["Version"]) +
                                '\t' + std::string(s["Architecture"]));
    });
    std::vector<bool> found(targets.size(), false);
    for (std::size_t i = 0; i < targets.size(); ++i)
        found[i] = downloadable.count(targets[i].name + '\t' + targets[i].version + '\t' +
                                      targets[i].arch) > 0;
    return found;
}

// The point "Before restoring P<n>" names what the restore is about to change.
Request beforeRequest(unsigned long long number, const PackagePlan& plan, std::string_view status,
                      const std::string& native) {
    Request request;
    request.reason = Reason::Restore;
    request.frontend = "qmvigilorn-system";
    request.description = "Before restoring P" + std::to_string(number);
    request.keep = std::to_string(number);
    const auto current = debian::parseStatusFile(status);
    for (const auto& t : plan.install) {
        const auto it = current.find(t.name + '\t' + t.arch);
        const std::string old = it == current.end() ? "-" : it->second.version;
        const bool up = old != "-" && debian::compareVersions(t.version, old) > 0;
        request.actions.push_back({aptName(t, native), old, t.version,
                                   old == "-" ? ActionKind::Install
                                   : up       ? ActionKind::Upgrade
                                              : ActionKind::Downgrade});
    }
    for (const auto& t : plan.remove)
        request.actions.push_back({aptName(t, native), t.version, "-", ActionKind::Remove});
    return request;
}

enum class AptRun { Done, Refused, NotFetched, HalfWay };

// The plan in one run of apt-get: everything fetched first, under the cap; then dpkg runs to its
// end, since a dpkg killed half-way leaves packages half-installed. APT changes nothing when any
// part of a run cannot be done: then the versions and the removals are tried each on their own,
// so that one does not hold up the other.
AptRun putPackagesBack(const RestoreOptions& options, const PackagePlan& plan,
                       const std::string& native, unsigned long long number,
                       const std::function<void(const std::string&)>& warn) {
    RunOptions fetch;
    fetch.cap = options.downloadCap;
    fetch.keep = 16 * 1024;
    RunOptions o;
    o.cap = std::chrono::hours(24 * 365);
    o.keep = 16 * 1024;
    auto runPart = [&](const PackagePlan& part) {
        auto args = aptArguments(options.aptGet, part, native, number);
        auto download = args;
        download.insert(download.begin() + 2, "--download-only");
        const RunResult got = run(download, fetch);
        if (got.status != 0) {
            warn("apt-get could not download the packages" +
                 (got.problem.empty() ? "" : " (" + got.problem + ")") + ": " + tail(got.output));
            return AptRun::NotFetched;
        }
        const RunResult r = run(args, o);
        if (r.status == 0)
            return AptRun::Done;
        warn("apt-get failed" + (r.problem.empty() ? "" : " (" + r.problem + ")") + ": " +
             tail(r.output));
        // APT that refused the whole run changed nothing; dpkg's own audit tells.
        RunOptions small;
        small.cap = std::chrono::seconds(20);
        small.keep = 256;
        const RunResult audit = run({options.dpkg, "--audit"}, small);
        return audit.status == 0 && audit.output.empty() ? AptRun::Refused : AptRun::HalfWay;
    };
    AptRun ran = runPart(plan);
    if (ran == AptRun::Refused && !plan.install.empty() && !plan.remove.empty()) {
        PackagePlan versions = plan, removals = plan;
        versions.remove.clear();
        removals.install.clear();
        ran = runPart(versions);
        if (ran == AptRun::Done || ran == AptRun::Refused)
            ran = runPart(removals);
    }
    return ran;
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

std::vector<std::string> protectedPackages() {
    std::vector<std::string> names{"qmvigilorn"};
    utsname u{};
    if (::uname(&u) == 0)
        names.push_back(std::string("linux-image-") + u.release);
    return names;
}

PackagePlan
planPackages(std::string_view pointList, std::string_view status,
             const std::function<std::optional<std::string>(const PackageTarget&)>& kept,
             const std::function<std::vector<bool>(const std::vector<PackageTarget>&)>& inArchive) {
    const auto then = debian::parseStoredList(pointList);
    const auto now = debian::parseStatusFile(status);
    PackagePlan plan;
    std::vector<PackageTarget> fromArchive;
    for (const auto& [key, package] : then) {
        const auto it = now.find(key);
        if (it != now.end() && it->second.version == package.version)
            continue;
        const auto [name, arch] = splitKey(key);
        PackageTarget t{name, arch, package.version, {}};
        if (const auto file = kept(t)) {
            t.from = *file;
            plan.install.push_back(std::move(t));
        } else {
            fromArchive.push_back(std::move(t));
        }
    }
    const std::vector<bool> available =
        fromArchive.empty() ? std::vector<bool>{} : inArchive(fromArchive);
    for (std::size_t i = 0; i < fromArchive.size(); ++i)
        (i < available.size() && available[i] ? plan.install : plan.missing)
            .push_back(fromArchive[i]);
    for (const auto& [key, package] : now) {
        if (then.count(key))
            continue;
        const auto [name, arch] = splitKey(key);
        plan.remove.push_back({name, arch, package.version, {}});
    }
    return plan;
}

void leaveAlone(PackagePlan& plan, const std::vector<std::string>& names, std::string_view status) {
    const auto now = debian::parseStatusFile(status);
    auto guarded = [&](const PackageTarget& t) {
        return std::find(names.begin(), names.end(), t.name) != names.end();
    };
    for (auto* list : {&plan.install, &plan.remove, &plan.missing}) {
        for (auto& t : *list)
            if (guarded(t)) {
                const auto it = now.find(t.name + '\t' + t.arch);
                // Absent now, it is not taken away either: nothing to name.
                if (it != now.end())
                    plan.leftAlone.push_back({t.name, t.arch, it->second.version, {}});
            }
        list->erase(std::remove_if(list->begin(), list->end(), guarded), list->end());
    }
}

std::vector<std::string> aptArguments(const std::string& aptGet, const PackagePlan& plan,
                                      const std::string& nativeArch, unsigned long long number) {
    std::vector<std::string> args{
        aptGet, "install", "-y", "-q", "--allow-downgrades", "--no-install-recommends",
        // The point's /etc is put back afterwards anyway; dpkg must
        // not stop to ask about a conffile meanwhile.
        "-o", "Dpkg::Options::=--force-confdef", "-o", "Dpkg::Options::=--force-confold", "-o",
        "Dpkg::Use-Pty=0", "-o",
        std::string(proto::kRestoringOption) + "=" + std::to_string(number)};
    for (const auto& t : plan.install)
        args.push_back(t.from.empty() ? aptName(t, nativeArch) + '=' + t.version : t.from);
    for (const auto& t : plan.remove)
        args.push_back(aptName(t, nativeArch) + '-');
    return args;
}

int restorePoint(unsigned long long number, const RestoreOptions& options) {
    Talk talk(options);
    const std::string& folder = options.store.folder;
    const std::string shownPoint = "P" + std::to_string(number);

    // 1. The point, whole, read only from the root-owned store.
    talk.step(0, 5, "reading " + shownPoint);
    posix::Fd root, repo, poolFolder;
    // Nothing is made here: a machine without points has nothing to restore.
    if (auto f = openRootPath(folder, 0755, root, false))
        return talk.end(proto::Outcome::Failed, f->description);
    if (auto f =
            openRootFolder(root.get(), "points.git", folder + "/points.git", 0700, repo, false))
        return talk.end(proto::Outcome::Failed, f->description);
    if (auto f = openRootFolder(root.get(), kPoolFolderName, folder + "/" + kPoolFolderName, 0700,
                                poolFolder))
        return talk.end(proto::Outcome::Failed, f->description);
    // Held to the end: no creation prunes the point or takes a half-restored /etc, and no other
    // restore writes into /etc meanwhile.
    FolderLock lock;
    if (auto f = lock.acquire(root.get(), SystemStore::kLockName, options.store.lockWaitSeconds,
                              "A system point is being made or another restore runs; try again"))
        return talk.end(proto::Outcome::Failed, f->description);
    StoredPoint point;
    if (auto f = readStoredPoint(folder + "/points.git", number, kMaxPointBytes, point))
        return talk.end(proto::Outcome::Failed, f->description);
    const auto status = readStatus(options.store.dpkgStatus);
    if (!status)
        return talk.end(proto::Outcome::Failed, "could not read dpkg's status");

    // 2. What to put back, and from where.
    talk.step(1, 5, "working out the packages");
    PackagePool pool(std::move(poolFolder), folder + "/" + kPoolFolderName);
    const std::string native = nativeArchitecture(options.dpkg);
    auto inArchive = [&](const std::vector<PackageTarget>& targets) {
        return archiveHas(options.aptCache, targets, native);
    };
    PackagePlan plan = planPackages(
        point.packages, *status,
        [&](const PackageTarget& t) { return pool.find(t.name, t.version, t.arch); }, inArchive);
    const std::vector<std::string> guarded =
        options.protectedPackages.empty() ? protectedPackages() : options.protectedPackages;
    leaveAlone(plan, guarded, *status);

    const auto credentials = credentialChanges(options.store.etc, point);
    if (options.terminal) {
        talk.write("Restoring " + shownPoint + " (" + point.description + ") changes this:\n" +
                   formatRestorePlan(plan, planEtc(options.store.etc, point), native));
    }
    if (options.terminal || !plan.missing.empty() || !plan.leftAlone.empty() ||
        !credentials.empty()) {
        for (const auto& t : plan.missing)
            talk.send(proto::missingLine(t.name, t.version, t.arch));
        // Passwords, sudo rights and keys as they were then: said before go.
        // A terminal has them, and the packages left alone, in the plan, marked.
        for (const auto& path : options.terminal ? std::vector<std::string>{} : credentials)
            talk.send(proto::line("warn", "/" + path +
                                              " goes back as it was at the point: accounts, "
                                              "passwords, sudo rights or keys as they were then"));
        // Said before go, and not a failure of the restore.
        for (const auto& t : options.terminal ? std::vector<PackageTarget>{} : plan.leftAlone)
            talk.send(proto::line("warn", t.name + " " + t.version + " " + t.arch +
                                              " is left as it is: a restore never changes "
                                              "this program or the running kernel"));
        if (!talk.ask())
            return talk.end(proto::Outcome::Stopped, "nothing was changed");
    }

    // 3. A point of how things are now, so that the restore can be undone; it keeps what the
    // restore replaces, and never prunes the point being restored.
    talk.step(2, 5, "making the point before restoring");
    {
        const Request request = beforeRequest(number, plan, *status, native);
        SystemStore::Options o = options.store;
        o.keepPackages = true;
        o.lockHeld = true;
        o.warn = [&](const std::string& text) { talk.warn(text); };
        SystemStore store(o);
        unsigned long long before = 0;
        if (auto f = store.create(request, before))
            return talk.end(proto::Outcome::Failed,
                            "the point before restoring could not be made: " + f->description);
        talk.send(proto::beforeLine(before));
    }

    // 4. The packages, in one run of apt-get.
    if (!plan.install.empty() || !plan.remove.empty()) {
        talk.step(3, 5, packagesStep(plan.install.size(), plan.remove.size()));
        const AptRun ran = putPackagesBack(options, plan, native, number,
                                           [&](const std::string& text) { talk.warn(text); });
        if (ran == AptRun::NotFetched)
            return talk.end(proto::Outcome::Failed,
                            "the packages could not be downloaded; neither they nor /etc were "
                            "changed");
        if (ran == AptRun::HalfWay)
            return talk.end(proto::Outcome::Failed,
                            "apt-get did not end well and left packages half-way; /etc was left "
                            "as it is");
        // What is still not as the point has it.
        if (const auto after = readStatus(options.store.dpkgStatus)) {
            PackagePlan left = planPackages(
                point.packages, *after, [](const PackageTarget&) { return std::nullopt; },
                [](const std::vector<PackageTarget>& t) { return std::vector<bool>(t.size()); });
            leaveAlone(left, guarded, *after);
            std::size_t reported = 0;
            for (const auto* list : {&left.missing, &left.install})
                for (const auto& t : *list)
                    if (reported++ < kMaxReported)
                        talk.warn(t.name + " " + t.version + " " + t.arch + " is not back");
            for (const auto& t : left.remove)
                if (reported++ < kMaxReported)
                    talk.warn(t.name + " " + t.version + " " + t.arch + " is still installed");
        }
    }

    // 5. /etc, last, so that it wins over whatever the packages brought.
    talk.step(4, 5, "putting /etc back");
    const EtcResult etc =
        restoreEtc(options.store.etc, point, [&](const std::string& text) { talk.warn(text); });
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
    const std::string& folder = options.store.folder;
    posix::Fd root, repo, poolFolder;
    if (auto f = openRootPath(folder, 0755, root, false))
        return f;
    if (auto f =
            openRootFolder(root.get(), "points.git", folder + "/points.git", 0700, repo, false))
        return f;
    if (auto f = openRootFolder(root.get(), kPoolFolderName, folder + "/" + kPoolFolderName, 0700,
                                poolFolder, false))
        return f;
    StoredPoint point;
    {
        // No creation prunes while it is read.
        FolderLock lock;
        if (auto f = lock.acquire(root.get(), SystemStore::kLockName, options.store.lockWaitSeconds,
                                  "A system point is being made; try again"))
            return f;
        if (auto f = readStoredPoint(folder + "/points.git", number, kMaxPointBytes, point))
            return f;
    }
    const auto status = readStatus(options.store.dpkgStatus);
    if (!status)
        return PlatformError{ErrorNumber::CantPerformOperation, "could not read dpkg's status"};
    const std::string native = nativeArchitecture(options.dpkg);
    PackagePool pool(std::move(poolFolder), folder + "/" + kPoolFolderName);
    PackagePlan plan = planPackages(
        point.packages, *status,
        [&](const PackageTarget& t) { return pool.find(t.name, t.version, t.arch); },
        [&](const std::vector<PackageTarget>& targets) {
            return archiveHas(options.aptCache, targets, native);
        });
    leaveAlone(plan,
               options.protectedPackages.empty() ? protectedPackages() : options.protectedPackages,
               *status);
    out = "Restoring P" + std::to_string(number) + " (" + point.description + ") changes this:\n" +
          formatRestorePlan(plan, planEtc(options.store.etc, point), native);
    return std::nullopt;
}

} // namespace vigilorn::sys

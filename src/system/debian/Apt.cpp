#include "Apt.h"

#include "PackagePool.h"
#include "platform/RestoreProtocol.h"
#include "store/Deb822.h"
#include "store/DebianPackages.h"
#include "system/RootFiles.h"
#include "system/Run.h"

#include <fcntl.h>
#include <sys/utsname.h>

#include <set>

namespace vigilorn::sys {

namespace {

constexpr std::int64_t kMaxStatusSize = 512 * 1024 * 1024;
constexpr std::size_t kMaxAptCacheOutput = 16 * 1024 * 1024;

InstalledVersions versionsOf(const debian::PackageList& list) {
    InstalledVersions out;
    for (const auto& [key, package] : list)
        out.emplace(key, package.version);
    return out;
}

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

std::string_view nextWord(std::string_view& text) {
    const auto start = text.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        text = {};
        return {};
    }
    text.remove_prefix(start);
    const auto end = text.find(' ');
    const std::string_view word = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end);
    return word;
}

RunResult runSmall(const std::vector<std::string>& args, std::size_t keep,
                   std::chrono::milliseconds cap) {
    RunOptions o;
    o.cap = cap;
    o.keep = keep;
    o.keepStart = true;
    return run(args, o);
}

class AptPackages final : public PackageSystem {
public:
    AptPackages(PackageTools tools, PackagePool* pool) : m_tools(std::move(tools)), m_pool(pool) {}

    std::optional<InstalledVersions> installed() override {
        const auto text = readSmall(AT_FDCWD, m_tools.status.c_str(), kMaxStatusSize);
        if (!text)
            return std::nullopt;
        return versionsOf(debian::parseStatusFile(*text));
    }
    InstalledVersions pointPackages(std::string_view list) override {
        return versionsOf(debian::parseStoredList(list));
    }
    std::string shownName(const PackageTarget& target) override {
        return aptName(target, native());
    }
    int compareVersions(std::string_view a, std::string_view b) override {
        return debian::compareVersions(a, b);
    }
    std::vector<std::string> guarded() override {
        if (!m_tools.guarded.empty())
            return m_tools.guarded;
        std::vector<std::string> names{"qmvigilorn"};
        utsname u{};
        if (::uname(&u) == 0)
            names.push_back(std::string("linux-image-") + u.release);
        return names;
    }
    std::optional<std::string> kept(const PackageTarget& t) override {
        return m_pool ? m_pool->find(t.name, t.version, t.arch) : std::nullopt;
    }

    // apt-cache shows a stanza for each version it knows, with a Filename when it can be had.
    std::vector<bool> available(const std::vector<PackageTarget>& targets) override {
        std::vector<std::string> args{m_tools.aptCache, "show"};
        for (const auto& t : targets)
            args.push_back(shownName(t) + '=' + t.version);
        const RunResult r = runSmall(args, kMaxAptCacheOutput, std::chrono::seconds(60));
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

    std::vector<SecurityDowngrade> securityDowngrades(const PackagePlan& plan,
                                                      const InstalledVersions& now) override {
        std::vector<SecurityDowngrade> down;
        for (const auto& t : plan.install)
            if (const auto it = now.find(t.name + '\t' + t.arch);
                it != now.end() && compareVersions(t.version, it->second) < 0)
                down.push_back({t, it->second, {}, {}});
        if (down.empty())
            return {};
        std::vector<std::string> args{m_tools.aptCache, "policy"};
        for (const auto& d : down)
            args.push_back(shownName(d.target));
        const RunResult r = runSmall(args, kMaxAptCacheOutput, std::chrono::seconds(60));
        const auto security = securityVersions(r.output);
        std::vector<SecurityDowngrade> named;
        for (auto& d : down) {
            const auto it = security.find(shownName(d.target));
            if (it == security.end())
                continue;
            // The highest version of a security update the restore goes below, up to the one
            // installed.
            for (const auto& [version, suite] : it->second)
                if (compareVersions(d.target.version, version) < 0 &&
                    compareVersions(version, d.current) <= 0 &&
                    (d.security.empty() || compareVersions(version, d.security) > 0)) {
                    d.security = version;
                    d.suite = suite;
                }
            if (!d.security.empty())
                named.push_back(std::move(d));
        }
        return named;
    }

    // The plan in one run of apt-get: everything fetched first, under the cap; then dpkg runs
    // to its end, since a dpkg killed half-way leaves packages half-installed. APT changes
    // nothing when any part of a run cannot be done: then the versions and the removals are
    // tried each on their own, so that one does not hold up the other.
    PutBack putBack(const PackagePlan& plan, unsigned long long point,
                    const std::function<void(const std::string&)>& warn) override {
        PutBack ran = putBackOnce(plan, point, warn);
        if (ran == PutBack::Refused && !plan.install.empty() && !plan.remove.empty()) {
            PackagePlan versions = plan, removals = plan;
            versions.remove.clear();
            removals.install.clear();
            ran = putBackOnce(versions, point, warn);
            if (ran == PutBack::Done || ran == PutBack::Refused)
                ran = putBackOnce(removals, point, warn);
        }
        return ran;
    }

private:
    // dpkg's own architecture: its packages are named without one.
    const std::string& native() {
        if (!m_native) {
            const RunResult r =
                runSmall({m_tools.dpkg, "--print-architecture"}, 256, std::chrono::seconds(20));
            m_native = r.status == 0 ? r.output.substr(0, r.output.find('\n')) : std::string();
        }
        return *m_native;
    }

    PutBack putBackOnce(const PackagePlan& part, unsigned long long point,
                        const std::function<void(const std::string&)>& warn) {
        const auto args = aptArguments(m_tools.aptGet, part, native(), point);
        auto download = args;
        download.insert(download.begin() + 2, "--download-only");
        RunOptions fetch;
        fetch.cap = m_tools.downloadCap;
        fetch.keep = 16 * 1024;
        const RunResult got = run(download, fetch);
        if (got.status != 0) {
            warn("apt-get could not download the packages" +
                 (got.problem.empty() ? "" : " (" + got.problem + ")") + ": " + tail(got.output));
            return PutBack::NotFetched;
        }
        RunOptions install;
        install.cap = std::chrono::hours(24 * 365);
        install.keep = 16 * 1024;
        const RunResult r = run(args, install);
        if (r.status == 0)
            return PutBack::Done;
        warn("apt-get failed" + (r.problem.empty() ? "" : " (" + r.problem + ")") + ": " +
             tail(r.output));
        // APT that refused the whole run changed nothing; dpkg's own audit tells.
        const RunResult audit = runSmall({m_tools.dpkg, "--audit"}, 256, std::chrono::seconds(20));
        return audit.status == 0 && audit.output.empty() ? PutBack::Refused : PutBack::HalfWay;
    }

    PackageTools m_tools;
    PackagePool* m_pool;
    std::optional<std::string> m_native;
};

} // namespace

std::string aptName(const PackageTarget& t, const std::string& native) {
    return t.arch.empty() || t.arch == "all" || t.arch == native ? t.name : t.name + ':' + t.arch;
}

std::vector<std::string> aptArguments(const std::string& aptGet, const PackagePlan& plan,
                                      const std::string& nativeArch, unsigned long long number) {
    std::vector<std::string> args{
        aptGet, "install", "-y", "-q", "--allow-downgrades", "--no-install-recommends",
        // The point's /etc is put back afterwards anyway; dpkg must
        // not stop to ask about a conffile meanwhile.
        "-o", "Dpkg::Options::=--force-confdef", "-o", "Dpkg::Options::=--force-confold", "-o",
        "Dpkg::Use-Pty=0", "-o",
        std::string(restoreproto::kRestoringOption) + "=" + std::to_string(number)};
    for (const auto& t : plan.install)
        args.push_back(t.from.empty() ? aptName(t, nativeArch) + '=' + t.version : t.from);
    for (const auto& t : plan.remove)
        args.push_back(aptName(t, nativeArch) + '-');
    return args;
}

// A package's part starts with "name:" at the margin; its versions are indented, " *** " on the
// installed one; each version's sources are indented further: "PRIORITY URI SUITE/COMPONENT ...".
std::map<std::string, std::vector<std::pair<std::string, std::string>>>
securityVersions(std::string_view policy) {
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> out;
    std::string package, version;
    bool inTable = false;
    while (!policy.empty()) {
        const auto end = policy.find('\n');
        std::string_view line = policy.substr(0, end);
        policy.remove_prefix(end == std::string_view::npos ? policy.size() : end + 1);
        if (line.empty())
            continue;
        if (line.front() != ' ') {
            package = line.back() == ':' ? std::string(line.substr(0, line.size() - 1)) : "";
            version.clear();
            inTable = false;
            continue;
        }
        const auto indent = line.find_first_not_of(' ');
        std::string_view rest = line.substr(indent);
        if (rest.rfind("Version table:", 0) == 0) {
            inTable = true;
            continue;
        }
        if (!inTable || package.empty())
            continue;
        if (indent <= 5) { // a version: "     1.0 500" or " *** 1.0 500"
            if (rest.rfind("***", 0) == 0)
                rest.remove_prefix(3);
            version = std::string(nextWord(rest));
            continue;
        }
        if (version.empty())
            continue;
        nextWord(rest); // priority
        nextWord(rest); // where from
        const std::string_view where = nextWord(rest);
        const std::string_view suite = where.substr(0, where.find('/'));
        constexpr std::string_view kSecurity = "-security";
        if (suite.size() > kSecurity.size() &&
            suite.substr(suite.size() - kSecurity.size()) == kSecurity)
            out[package].emplace_back(version, std::string(suite));
    }
    return out;
}

std::unique_ptr<PackageSystem> makePackageSystem(const PackageTools& tools, PackagePool* pool) {
    return std::make_unique<AptPackages>(tools, pool);
}

} // namespace vigilorn::sys

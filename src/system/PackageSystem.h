#pragma once
// What a restore asks of the machine's package system: what is installed, what can be had, and
// putting a plan back. Debian's (dpkg and APT) is debian/Apt.h; a second package system is a
// folder beside debian/ with a class of its own, chosen in makePackageSystem().
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vigilorn::sys {

class PackagePool;

struct PackageTarget {
    std::string name, arch, version;
    std::string from; // a kept file, or empty for the archive
};

struct PackagePlan {
    std::vector<PackageTarget> install;   // versions to put back
    std::vector<PackageTarget> remove;    // installed since: version is the current one
    std::vector<PackageTarget> missing;   // in neither the pool nor the archive
    std::vector<PackageTarget> leftAlone; // never changed by a restore; version is the current one
};

// Installed versions by "name\tarch".
using InstalledVersions = std::map<std::string, std::string>;

// A version to put back that goes below one a security update brought.
struct SecurityDowngrade {
    PackageTarget target;
    std::string current, security, suite;
};

enum class PutBack {
    Done,
    Refused,    // nothing was changed
    NotFetched, // the packages could not be had; nothing was changed
    HalfWay,    // the package system did not end well and left packages half-way
};

class PackageSystem {
public:
    virtual ~PackageSystem() = default;

    // What is installed now; nothing when that cannot be read.
    virtual std::optional<InstalledVersions> installed() = 0;
    // What a point's stored package list names.
    virtual InstalledVersions pointPackages(std::string_view list) = 0;
    // The name a person and the package tools know the target by.
    virtual std::string shownName(const PackageTarget& target) = 0;
    // <0, 0, >0 as the package system orders the two versions.
    virtual int compareVersions(std::string_view a, std::string_view b) = 0;
    // Packages a restore never changes: this program's own, the running kernel's.
    virtual std::vector<std::string> guarded() = 0;

    // The kept file of that version, when the pool has one.
    virtual std::optional<std::string> kept(const PackageTarget& target) = 0;
    // Which of the versions the archive can still give.
    virtual std::vector<bool> available(const std::vector<PackageTarget>& targets) = 0;
    // The versions to put back that go below one from a security update.
    virtual std::vector<SecurityDowngrade> securityDowngrades(const PackagePlan& plan,
                                                              const InstalledVersions& now) = 0;
    // The whole plan; what went wrong is told to `warn` as it happens.
    virtual PutBack putBack(const PackagePlan& plan, unsigned long long point,
                            const std::function<void(const std::string&)>& warn) = 0;
};

struct PackageTools {
    std::string aptGet = "/usr/bin/apt-get";
    std::string aptCache = "/usr/bin/apt-cache";
    std::string dpkg = "/usr/bin/dpkg";
    std::string status = "/var/lib/dpkg/status";
    // Downloading may be stopped; installing, once it runs, never is.
    std::chrono::milliseconds downloadCap = std::chrono::hours(1);
    // Empty: this package and the running kernel's.
    std::vector<std::string> guarded;
};

// The machine's package system, keeping in `pool` (which may be null: nothing kept).
std::unique_ptr<PackageSystem> makePackageSystem(const PackageTools& tools, PackagePool* pool);

} // namespace vigilorn::sys

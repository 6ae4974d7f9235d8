#pragma once
// `qmvigilorn-system restore --point N`: puts the machine back to a system point, as one
// operation, talking RestoreProtocol.h with the program that started it.
#include "SystemStore.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vigilorn::sys {

inline constexpr unsigned long long kMaxPointNumber = 1'000'000'000'000ull;
// A point's files all together; /etc is far smaller.
inline constexpr std::uint64_t kMaxPointBytes = 1ull << 30;

// The point number of `restore --point N`, nothing when the arguments are anything else.
std::optional<unsigned long long> parseRestoreArguments(const std::vector<std::string>& args);

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

// Takes out of the plan every change to these packages (this program's own, the running
// kernel's): a restore must not take away the tool doing it, nor the kernel the machine runs.
void leaveAlone(PackagePlan& plan, const std::vector<std::string>& names, std::string_view status);

// What differs between the point's package list and dpkg's status now. `inArchive` says which
// of the versions to put back the archive has.
PackagePlan
planPackages(std::string_view pointList, std::string_view status,
             const std::function<std::optional<std::string>(const PackageTarget&)>& kept,
             const std::function<std::vector<bool>(const std::vector<PackageTarget>&)>& inArchive);

// This package and the running kernel's.
std::vector<std::string> protectedPackages();

// apt-get's arguments for the plan, its path first.
std::vector<std::string> aptArguments(const std::string& aptGet, const PackagePlan& plan,
                                      const std::string& nativeArch, unsigned long long number);

struct RestoreOptions {
    SystemStore::Options store; // its folder, /etc and dpkg's status too
    std::string aptGet = "/usr/bin/apt-get";
    std::string aptCache = "/usr/bin/apt-cache";
    std::string dpkg = "/usr/bin/dpkg";
    int inFd = 0;
    int outFd = 1;
    int askSeconds = 0; // 0: the protocol's
    // A person at a terminal: words rather than the protocol, and always asked before anything
    // is changed, with what would be.
    bool terminal = false;
    // Downloading may be stopped; dpkg, once it runs, never is.
    std::chrono::milliseconds downloadCap = std::chrono::hours(1);
    // Packages a restore leaves as they are; empty: this package and the running kernel's.
    std::vector<std::string> protectedPackages;
};

// `show N`: what restoring the point would change, changing nothing.
Failure showPoint(unsigned long long number, const RestoreOptions& options, std::string& out);

// The exit statuses of a restore; 2 is a wrong command line.
inline constexpr int kRestored = 0;
inline constexpr int kFailed = 1;         // perhaps in part: the last line says
inline constexpr int kNothingChanged = 3; // stopped, or answered no, before any change

// The whole restore; its exit status.
int restorePoint(unsigned long long number, const RestoreOptions& options);

} // namespace vigilorn::sys

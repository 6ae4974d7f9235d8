#pragma once
// `qmvigilorn-system restore --point N`: puts the machine back to a system point, as one
// operation, talking RestoreProtocol.h with the program that started it.
#include "PackageSystem.h"
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

struct RestoreOptions {
    SystemStore::Options store; // its folder, /etc and dpkg's status too
    // The package system's tools; its status file is the store's.
    PackageTools packages;
    int inFd = 0;
    int outFd = 1;
    int askSeconds = 0; // 0: the protocol's
    // A person at a terminal: words rather than the protocol, and always asked before anything
    // is changed, with what would be.
    bool terminal = false;
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

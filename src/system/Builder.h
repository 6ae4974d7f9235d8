#pragma once
// Building the staged packages' .debs off the change's path: after APT and dpkg are done, at the
// lowest priority, in a process of its own that outlives the hook.
#include <chrono>
#include <ctime>
#include <functional>
#include <string>

namespace vigilorn::sys {

// "FILE WHY" lines: staged packages whose .deb could not be built, beside points.list.
inline constexpr const char* kNotKeptName = "not-kept.list";

struct BuilderOptions {
    std::string folder;                      // the store's folder
    std::string dpkgLocks = "/var/lib/dpkg"; // lock-frontend and lock
    std::string dpkgStatus = "/var/lib/dpkg/status";
    std::chrono::hours longest{6}; // a run of APT longer than this is not waited for
    bool wait = true;              // wait for the package runs to end first
    std::function<void(const std::string&)> report; // a line per package built
};

// Starts `qmvigilorn-system build` detached: a session of its own, no descriptor of ours.
// Started from the running program itself, never from a path anyone else chose.
void startBuilder();

// Whether no APT or dpkg run holds dpkg's locks.
bool packageRunsIdle(const std::string& dpkgLocks);

// Whether dpkg's status file changed from `before` (its modification time) and the run ended,
// before `until`.
bool waitForStatusChange(const BuilderOptions& options, const struct timespec& before,
                         std::chrono::steady_clock::time_point until);

// `build`: waits for the package runs to end, then builds every staged package; the number of
// packages that could not be kept.
int runBuilder(const BuilderOptions& options);

} // namespace vigilorn::sys

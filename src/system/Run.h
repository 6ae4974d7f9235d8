#pragma once
// Programs the root side starts: by their fixed path, with an argument list, a fixed
// environment, standard input from a given text or /dev/null, bounded in time and in what is
// kept of their output. Every program of the root side goes through run(), or startDetached()
// for the one that outlives its caller.
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace vigilorn::sys {

struct RunResult {
    bool started = false;
    int startError = 0; // errno of a start that failed
    bool timedOut = false;
    int status = -1;    // the exit status; -1 when ended by a signal or not started
    std::string output; // standard output (and error, with Errors::WithOutput), at most `keep`
    bool cut = false;   // more was written than kept
    std::string errors; // with Errors::Apart: the start of standard error
    std::string problem;
};

struct RunOptions {
    // Where its standard error goes: into the output, kept apart, or to ours as it is.
    enum class Errors { WithOutput, Apart, Ours };

    std::chrono::milliseconds cap{60'000};
    std::size_t keep = 64 * 1024;
    // Kept from the start rather than the end (for output that is parsed).
    bool keepStart = false;
    Errors errorsTo = Errors::WithOutput;
    std::size_t keepErrors = 4096; // with Errors::Apart
    // Its standard input; /dev/null when not given. A program that stops reading gets no more.
    std::optional<std::string> input;
    std::string folder = "/";             // its working folder
    std::vector<std::string> environment; // fixedEnvironment() when empty
    // Past the cap its group is asked to end (SIGTERM) and given this long before SIGKILL, so
    // that a program of ours can end what it started; 0: SIGKILL at once.
    std::chrono::milliseconds grace{0};
};

// The environment every program of the root side gets, whatever ours was.
std::vector<std::string> fixedEnvironment();

// argv[0] is an absolute path and is run as it is: no search, no shell. It runs in a process
// group of its own, which is killed whole when it runs past the cap.
RunResult run(const std::vector<std::string>& argv, const RunOptions& options);

// Starts `path` with `argv` (argv[0] the name it is shown by) and does not wait for it: a
// session of its own, /dev/null for its standard streams, nothing else of ours open, the fixed
// environment. For work that must outlive us; false when it could not be started.
bool startDetached(const std::string& path, const std::vector<std::string>& argv);

// From now on SIGTERM, SIGINT and SIGHUP first kill the groups of the programs run() has
// running, then end this process as they would have: what it started never outlives it.
void endProgramsWithUs();

} // namespace vigilorn::sys

#pragma once
// Programs the root side starts: by their fixed path, with an argument list, a fixed
// environment, standard input from /dev/null, bounded in time and in what is kept of their
// output.
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace vigilorn::sys {

struct RunResult {
    bool started = false;
    bool timedOut = false;
    int status = -1;    // the exit status; -1 when ended by a signal or not started
    std::string output; // standard output and error together, at most `keep` bytes of its end
    bool cut = false;   // more was written than kept
    std::string errors; // with separateErrors: the start of standard error
    std::string problem;
};

struct RunOptions {
    std::chrono::milliseconds cap{60'000};
    std::size_t keep = 64 * 1024;
    // Kept from the start rather than the end (for output that is parsed).
    bool keepStart = false;
    // Standard error apart from the output, its first `keepErrors` bytes kept.
    bool separateErrors = false;
    std::size_t keepErrors = 4096;
    std::string folder = "/"; // its working folder
    std::vector<std::string> environment;
};

// The environment every program of the root side gets, whatever ours was.
std::vector<std::string> fixedEnvironment();

// argv[0] is an absolute path and is run as it is: no search, no shell. The program and its
// children are killed when it runs past the cap.
RunResult run(const std::vector<std::string>& argv, const RunOptions& options);

} // namespace vigilorn::sys

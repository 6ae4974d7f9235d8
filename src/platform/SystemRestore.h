#pragma once
// Going back to a system point: the root side does the work in one run, after one
// authentication; the program follows it and answers its one question. Events arrive on the
// thread that called start(), from its event loop: start() never waits for the run.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vigilorn {

class SystemRestore {
public:
    enum class Outcome { Ok, Failed, Stopped };

    struct Missing {
        std::string name, version, arch;
    };

    struct Result {
        Outcome outcome = Outcome::Failed;
        std::string text; // the root side's last word, or why the run ended without one
        std::vector<std::string> warnings;
        std::optional<std::uint64_t> before; // the point made before restoring
    };

    struct Events {
        // Versions that can't be had any more: call answer(true) to go on without them,
        // answer(false) to stop before anything changed.
        std::function<void(const std::vector<Missing>&)> ask;
        std::function<void(std::uint64_t done, std::uint64_t total, const std::string& text)> step;
        std::function<void(const std::string& text)> warn;
        std::function<void(std::uint64_t number)> before;
        // Once per run, last.
        std::function<void(const Result&)> finished;
    };

    virtual ~SystemRestore() = default;

    // False when a run is going on already.
    virtual bool start(std::uint64_t point, Events events) = 0;
    // The answer to ask; ignored at any other time.
    virtual void answer(bool go) = 0;
    virtual bool running() const = 0;
    // The PID of the process the run started, while it runs: what it starts in turn are its
    // descendants.
    virtual std::optional<std::string> childPid() const { return std::nullopt; }
};

} // namespace vigilorn

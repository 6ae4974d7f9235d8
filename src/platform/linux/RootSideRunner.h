#pragma once
// Starts a program as root: through pkexec, or directly when the program is root already. How
// it ended is said here in words, pkexec's own exit codes read here and nowhere else. Callers
// see no Qt: plain callbacks, or a run waited for.
#include "platform/RestoreChanges.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <unistd.h>

class QProcess;

namespace vigilorn {

class RootSideRunner {
public:
    struct Options {
        // Never looked up in $PATH: the user's own folders come first there.
        std::string pkexec = "/usr/bin/pkexec";
        bool asRoot = ::geteuid() == 0;
    };

    struct Ending {
        enum class How { Exited, Crashed, NotStarted, TimedOut, NotAuthorised };
        How how = How::NotStarted;
        int exitCode = -1;  // with Exited
        std::string detail; // with NotStarted: why
        bool ok() const { return how == How::Exited && exitCode == 0; }
        // "crashed", "failed with exit code 3", "was not authorised", … to follow the command's
        // name in a sentence.
        std::string words() const;
    };

    // What a run waited for keeps of each stream; the rest is read and dropped.
    static constexpr std::size_t kMaxOutput = 1 << 20;

    RootSideRunner(); // pkexec at its place, root as the program is
    explicit RootSideRunner(Options options);
    // A run still going is left to finish on its own: a root child can't be signalled by its
    // user, and waiting for it would hold the program up as it ends.
    ~RootSideRunner();
    RootSideRunner(const RootSideRunner&) = delete;
    RootSideRunner& operator=(const RootSideRunner&) = delete;

    // The program is root, or pkexec is there to ask.
    bool available() const;

    // The command as started: pkexec first unless root. pkexec takes no "--": an absolute path
    // can't be read as one of its options.
    Command started(const Command& command) const;

    // Runs `command` (an absolute path) with no input and waits at most `timeoutMs`; one that
    // takes longer is killed. With `err` null, standard error goes into `out`.
    Ending run(const Command& command, std::string& out, std::string* err, int timeoutMs);

    struct Events {
        std::function<void(std::string_view)> output; // standard output as it comes
        std::function<void(std::string_view)> errors; // standard error as it comes
        // Once, after the last output; also when it could not start. It may start another run.
        std::function<void(const Ending&)> finished;
    };
    // Starts `command` and returns; false when a run is going already.
    bool start(const Command& command, Events events);
    bool running() const { return m_process != nullptr; }
    void write(std::string_view text);
    // The end of the input; then the end of the run, whose finished event follows.
    void closeInput();
    void kill();

private:
    Ending ending(int exitCode, bool crashed) const;
    void drain();
    void finish(Ending e);

    Options m_options;
    std::unique_ptr<QProcess> m_process;
    Events m_events;
};

} // namespace vigilorn

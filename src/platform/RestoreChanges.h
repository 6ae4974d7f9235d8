#pragma once
// What changed on the system since a restore point, and the way back to it.
#include "PlatformError.h"

#include <atomic>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vigilorn {

class RestoreEngine;

struct Change {
    enum class Area { Packages, Etc, Config, System };
    enum class Kind { Added, Removed, Upgraded, Downgraded, Changed };
    Area area = Area::Config;
    Kind kind = Kind::Changed;
    // A package's name (with ":arch" when it is not the usual one), or a path relative to the
    // area's folder ("ssh/sshd_config"); for snapper, the path as snapper names it.
    std::string name;
    std::string before; // the version at the point, empty when there was none
    std::string after;  // the version now
};

struct CompareCallbacks {
    // Changes found so far, a few at a time, in no particular order.
    std::function<void(std::vector<Change>&&)> batch;
    // total 0: not known yet.
    std::function<void(std::size_t done, std::size_t total)> progress;
    // Checked often; when set, the comparison stops and reports kCancelled.
    const std::atomic<bool>* cancel = nullptr;
};

// A program and its arguments, never joined into a command line for a shell.
struct Command {
    std::string program;
    std::vector<std::string> arguments;
};

// How a command is shown to the user: words quoted the way a POSIX shell would read them, so
// that a copied line does what the program would have done.
std::string commandLine(const Command& command);

struct RestorePlan {
    // The configuration folder's files the program itself puts back or removes.
    std::vector<Change> configFiles;
    // snapper's undochange, the one command ever run as root from here: packages and /etc
    // go back only through the root side, which reads nothing a user can write.
    std::optional<Command> rootCommand;
    // What the program can't go back on, said to the user.
    std::vector<std::string> notes;
};

class RestoreChanges {
public:
    static constexpr int kCancelled = 9301;     // "The comparison was cancelled."
    static constexpr int kUnknownPoint = 9302;  // no restore point of that number
    static constexpr int kBadName = 9303;       // a package name or version Debian would refuse
    static constexpr int kCommandFailed = 9304; // a root command ended with an error
    static constexpr int kNotWritable = 9305;   // a file of the folder can't be put back

    virtual ~RestoreChanges() = default;

    virtual Failure compare(const std::string& point, const CompareCallbacks& callbacks) = 0;
    virtual Failure plan(const std::string& point, RestorePlan& out) = 0;
    // Puts the configuration folder back as it was at the point, after asking `engine` for a
    // point "Before restoring P<n>" first. Does nothing when that point can't be made.
    virtual Failure restoreConfig(const std::string& point, RestoreEngine& engine) = 0;
    // True when runAsRoot can work: the program is root, or pkexec is there to ask.
    virtual bool canRunAsRoot() const = 0;
    // Runs the plan's command as root; `output` receives what it printed.
    virtual Failure runAsRoot(const Command& command, std::string& output) = 0;
};

} // namespace vigilorn

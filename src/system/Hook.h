#pragma once
// The hook's whole run: what changes, whom to ask, the user's answer, the point.
#include "HookInput.h"
#include "PointMaker.h"
#include "UserProgram.h"
#include "WhoIsAsked.h"
#include "platform/HoldProtocol.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace vigilorn::sys {

struct HookSettings {
    std::string runUserRoot = "/run/user";
    std::string makerPath;
    std::string procRoot = "/proc";
    std::string sessionsDir = "/run/systemd/sessions";
    std::chrono::milliseconds connectCap{1000};
    std::chrono::milliseconds answerCap{hold::kHoldCapSeconds * 1000};
    std::chrono::milliseconds makerCap{hold::kHoldCapSeconds * 1000};
    std::chrono::milliseconds inputCap{10000};
    // Reads the package files `dpkg -i` is given, all of them within debCap.
    std::string dpkgDeb = "/usr/bin/dpkg-deb";
    std::chrono::milliseconds debCap{10000};
    std::size_t maxInput = 4u << 20;
    bool terminal = false; // standard error is a terminal
    int errFd = 2;
};

// What the hook learnt from its own process: the environment and its parent.
struct HookEnvironment {
    CallerIds ids;
    std::optional<std::string> infoFd;
    std::optional<std::string> frontendLocked;
    std::optional<std::string> hookAction;
    pid_t parent = 0;

    static HookEnvironment fromProcess();
};

struct Change {
    std::string frontend;
    std::string description; // what every user sees in the list of points
    std::vector<PackageAction> actions;
    int quiet = 0;
    // APT's command line, which may hold a proxy's password: in the point only.
    std::optional<std::string> commandLine;
};

enum class Decision {
    NoProgram,  // the users found run no program of ours: an automatic point
    Go,         // the user let the installation go on
    Off,        // the user turned the hooks off: not waited for, an automatic point
    Asked,      // the user asked for a point
    Auto,       // the program's own wait ran out
    NoAnswer,   // no usable answer in time
    Unattended, // nobody could be asked
    Told,       // users only at the machine: told of the point made, not asked
};

struct HookOutcome {
    Decision decision = Decision::NoProgram;
    std::optional<MakerResult> maker;
};

class Hook {
public:
    explicit Hook(HookSettings settings);

    // Asks the first of these users whose program is there, and has a point made when one is
    // wanted. Never fails the installation.
    // Bystanders are only told, once the point is made: the change waits for none of them.
    HookOutcome decide(const Change& change, const std::vector<uid_t>& uids,
                       Standing standing = Standing::Behind) const;

    // The two ways in; both always end with status 0.
    int runApt(const HookEnvironment& env) const;
    int runDpkg(const HookEnvironment& env) const;

    // "Vigilorn: <text>" on the error descriptor, in one write.
    void say(const std::string& text) const;

private:
    MakerResult makePoint(const Change& change, pointreq::Reason reason) const;
    // The package files of the dpkg process `dpkg`, by the names it was given.
    DebReader debReader(pid_t dpkg) const;
    Change describe(std::vector<PackageAction> actions, std::string commandLine,
                    const std::vector<Ancestor>& chain) const;

    HookSettings m_settings;
    UserPrograms m_programs;
    PointMaker m_maker;
    ProcReader m_proc;
};

// The ways in, by the first argument: apt (DPkg::Pre-Install-Pkgs), dpkg (pre-invoke).
struct HookWayIn {
    const char* name;
    int (Hook::*run)(const HookEnvironment&) const;
};
inline constexpr HookWayIn kHookWaysIn[] = {{"apt", &Hook::runApt}, {"dpkg", &Hook::runDpkg}};

} // namespace vigilorn::sys

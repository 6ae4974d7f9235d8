#pragma once
// Whom the hook asks: the user behind the installation, found from the environment, the
// process tree, or the active graphical sessions.
#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vigilorn::sys {

struct Ancestor {
    pid_t pid = 0;
    std::string comm;
};

// /proc, or a folder laid out like it for the tests.
class ProcReader {
public:
    explicit ProcReader(std::string procRoot = "/proc");

    // from, its parent, and so on up to (not including) pid 1; bounded in depth.
    std::vector<Ancestor> ancestors(pid_t from) const;
    // Nothing when unset (4294967295) or unreadable.
    std::optional<uid_t> loginUid(pid_t pid) const;
    // The process's arguments; false when unreadable or longer than maxBytes.
    bool arguments(pid_t pid, std::vector<std::string>& args, std::size_t maxBytes) const;

private:
    std::string m_root;
};

// The nearest ancestor that is a package front end, or null.
const Ancestor* nearestFrontend(const std::vector<Ancestor>& chain);
// The nearest front end's name, else the parent's.
std::string frontendName(const std::vector<Ancestor>& chain);

// A uid in decimal, as the environment carries it; nothing for anything else.
std::optional<uid_t> parseUid(std::string_view text);

struct CallerIds {
    std::optional<std::string> pkexecUid;
    std::optional<std::string> sudoUid;
    std::optional<std::string> packagekitUid;
};

// What the users found may do with the change.
enum class Standing {
    Behind, // behind the change: asked, and their answer is the change's
    // At the machine while PackageKit, which names no caller, works for someone there: asked,
    // but whatever they answer the change gets its point.
    AtTheMachine,
    // At the machine while a run nobody there started works (unattended-upgrades): told of
    // the change's point, never waited for.
    Bystanders,
};

struct AskedUsers {
    std::vector<uid_t> uids; // empty: nobody could be asked
    std::string source;      // where they came from, for messages and tests
    Standing standing = Standing::Behind;
};

// Whether a user administers the machine: a member of the sudo or adm group.
bool administers(uid_t uid);

AskedUsers whoIsAsked(const CallerIds& ids, const ProcReader& proc,
                      const std::vector<Ancestor>& chain, const std::string& sessionsDir,
                      const std::function<bool(uid_t)>& admin = administers);

// Users of the active X11 and Wayland sessions on a seat of this machine (not remote) that
// logind lists there, who administer it; none when the folder is absent.
std::vector<uid_t> graphicalSessionUsers(const std::string& sessionsDir,
                                         const std::function<bool(uid_t)>& admin = administers);

} // namespace vigilorn::sys

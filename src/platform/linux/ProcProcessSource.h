#pragma once
#include "platform/ProcessSource.h"

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vigilorn {

// Reads <procRoot>/<pid>/cmdline into its NUL-separated arguments, under the limits of
// ProcessSource::readArguments.
bool readProcArguments(const std::string& procRoot, const std::string& pid,
                       std::vector<std::string>& args);

// What the kernel reports in loadavg of every task it holds: how many there are, and the last PID
// it handed out. While neither moves, no task has been created or reaped.
struct TaskCounters {
    std::uint64_t tasks = 0;
    std::uint64_t lastPid = 0;
    bool operator==(const TaskCounters&) const = default;
};

// Processes from /proc: one entry per numeric directory.
//
// Reading every process's files on every pass costs far more than listing /proc, so what was
// read is kept per PID. A pass reads only the PIDs it has not seen. The PIDs first seen on the
// pass before (a fork is often listed before its exec), and every PID on every sixth pass, have
// their comm and owner compared with what was kept, and are read afresh when one differs; that
// catches a process that replaced its program after it started.
// Kernel threads run no program and are not compared.
// What the first pass finds already ran before the program did and waits for the sixth pass.
// A PID listed with another /proc entry than the one kept was reused, and is read afresh.
//
// Listing /proc is most of what is left: the kernel looks up each PID as it lists. So a pass
// that is not a full one starts from the task counters of <root>/loadavg: the count of tasks and
// the last PID handed out. When few PIDs were handed out since the last pass, it looks up only
// those. When the count of tasks grew by exactly the tasks they hold, no task that existed
// before was reaped, so what is kept is still all there (a process that ends stays listed until
// it is reaped, which the count shows); when it grew by less, the kernel is asked after each PID
// kept, which costs less than a listing. Otherwise, and on every sixth pass, it lists.
class ProcProcessSource final : public ProcessSource {
public:
    static constexpr unsigned kFullPassEvery = 6;
    // At most this many PIDs handed out since the last pass are looked up one by one.
    static constexpr std::uint64_t kProbeLimit = 32;

    // Whether a PID still names a task; a root other than the kernel's /proc comes with its own.
    using PidAlive = std::function<bool(pid_t)>;
    static bool pidExists(pid_t pid);

    explicit ProcProcessSource(std::string procRoot = "/proc", PidAlive alive = pidExists);
    ~ProcProcessSource() override;
    std::optional<EnumerationFailure> EnumerateProcesses(const ProcessVisitor& visitor) override;
    void requireFullPass() override { m_fullRequested = true; }

    // How many processes the last pass read in full; for tests and benchmarks.
    std::size_t lastPassReads() const { return m_reads; }
    // Whether the last pass listed the root; for tests and benchmarks.
    bool lastPassListed() const { return m_listed; }
    bool readArguments(const std::string& processid, std::vector<std::string>& args) override {
        return readProcArguments(m_root, processid, args);
    }
    std::optional<std::string> parentOf(const std::string& processid) override;

private:
    struct Known {
        ProcessEntry entry;
        std::string comm; // as the kernel reports it, to compare on full passes
        uid_t owner = 0;  // owner of the /proc entry
        std::uint64_t inode =
            0; // as listed: a reused PID gets a new /proc entry, hence a new inode
        bool kernelThread = false; // never compared: it runs no program
        unsigned firstPass = 0;
        unsigned seenPass = 0;
        bool ended = false;
    };
    enum class Read { Ok, Skip, Thread };
    // Reads one process afresh into k.
    Read readProcess(int rootFd, const char* pid, pid_t pidNo, Known& k);
    const std::string& userName(uid_t uid);
    enum class Look { Same, Changed, Gone };
    // Compares a kept process's comm and owner with the kernel's.
    Look lookAgain(int rootFd, const char* pid, const Known& k);
    // Lists the root, reading and comparing what the pass wants, into m_order.
    std::optional<EnumerationFailure> listRoot(int rootFd, unsigned pass, bool full);
    // Brings m_known from m_countedAt up to `now` by looking only at the PIDs handed out since,
    // and gives the processes in `due` their second look; false, with nothing changed, when
    // the counters show that something else happened, which only a listing can find.
    bool probeNewPids(int rootFd, unsigned pass, const TaskCounters& now,
                      const std::vector<pid_t>& due);
    std::optional<TaskCounters> readTaskCounters(int rootFd);
    // What may stand in for a listing: the counters and the count of tasks, the counters and a
    // question after each PID kept (in a nested PID namespace, where the count is the
    // machine's), or nothing (a /proc of another namespace than this process's).
    // Decided on the first pass.
    enum class Shortcut { Counted, AskEach, None };
    Shortcut shortcutFor(int rootFd);
    void forget(pid_t pid);

    std::string m_root;
    PidAlive m_alive;
    std::unordered_map<pid_t, Known> m_known;
    std::unordered_map<uid_t, std::string> m_users;
    std::vector<const Known*> m_order; // this pass's, in the listing's order
    std::vector<char> m_dents;
    std::vector<char> m_buf;
    std::vector<char> m_comm;
    unsigned m_pass = 0;
    std::size_t m_reads = 0;
    std::optional<TaskCounters> m_countedAt; // what m_known holds, as of these counters
    std::vector<pid_t> m_newPids;            // new on this pass: due their second look
    std::optional<Shortcut> m_shortcut;
    bool m_listed = false;
    bool m_fullRequested = false;
    bool m_inPass = false;
};

// The name a user would recognise: the kernel's comm, or argv[0]'s base name when comm was cut
// at the kernel's 15-byte limit and argv[0] begins with it.
std::string recogniseProcessName(const std::string& comm, const std::string& argv0);

// The fields of /proc/PID/stat the program uses. comm sits between the first "(" and the last
// ")" and may hold any byte, ")" and spaces included, so the other fields are counted from the
// last ")". False when the text is not a stat line.
struct ProcStat {
    std::string comm;
    char state = '?';
    std::uint64_t ppid = 0;      // field 4
    std::uint32_t flags = 0;     // field 9, the kernel's PF_* bits
    std::uint64_t startTime = 0; // field 22, clock ticks after boot
};
bool parseProcStat(std::string_view text, ProcStat& out);

// Reads /proc/PID/stat under root; false when the process is gone or the file unreadable.
bool readProcStat(const std::string& root, pid_t pid, ProcStat& out);

} // namespace vigilorn

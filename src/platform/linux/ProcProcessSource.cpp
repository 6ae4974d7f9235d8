#include "ProcProcessSource.h"

#include "platform/posix/Fd.h"
#include "platform/posix/Text.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace vigilorn {
namespace {

constexpr std::size_t kKernelCommMax = 15;
constexpr std::uint32_t kPfKthread = 0x00200000; // a kernel thread, which never runs a program

using posix::Fd;
using posix::leadingDigits;
using posix::parseDecimal;

// The kernel's record, as getdents64 writes it.
struct LinuxDirent64 {
    std::uint64_t d_ino;
    std::int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[1];
};

// A PID as /proc names it: digits only, no leading zero, within what the kernel hands out.
bool parsePidName(const char* s, pid_t& pid) {
    return *s != '0' && parseDecimal<pid_t>(s, pid);
}

// Reads the start of dirFd/pid/leaf, at most buf.size() bytes, and when asked the file's owner,
// which in /proc is the process's, as its entry's is. procfs hands these small files over whole
// in one read, and only the start of cmdline is needed, so one read is enough; the second read a
// loop would make costs a system call per file. False when the file cannot be opened or read,
// which is what a process that has just ended looks like.
bool readSmallFile(int dirFd, const char* pid, const char* leaf, std::vector<char>& buf,
                   std::size_t& len, uid_t* owner = nullptr) {
    char path[64];
    if (pid)
        std::snprintf(path, sizeof path, "%s/%s", pid, leaf);
    else
        std::snprintf(path, sizeof path, "%s", leaf);
    const Fd f(openat(dirFd, path, O_RDONLY | O_CLOEXEC));
    if (!f.valid())
        return false;
    ssize_t n;
    do {
        n = read(f.get(), buf.data(), buf.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return false;
    len = static_cast<std::size_t>(n);
    if (owner) {
        // fstat on the open file spares a second walk of the path.
        struct stat st {};
        if (fstat(f.get(), &st) != 0)
            return false;
        *owner = st.st_uid;
    }
    return true;
}

// The total of tasks (field 4 after its "/") and the last PID handed out (field 5) of a loadavg
// line, "0.45 0.66 0.33 2/110 10124".
bool parseTaskCounters(std::string_view text, TaskCounters& out) {
    std::size_t p = 0;
    const auto number = [&](std::uint64_t& v) {
        const std::string_view digits = leadingDigits(text.substr(p));
        p += digits.size();
        return parseDecimal(digits, v);
    };
    for (int field = 1; field < 4; ++field) {
        p = text.find(' ', p);
        if (p == std::string_view::npos)
            return false;
        ++p;
    }
    std::uint64_t running = 0;
    if (!number(running) || p >= text.size() || text[p] != '/')
        return false;
    ++p;
    if (!number(out.tasks) || p >= text.size() || text[p] != ' ')
        return false;
    ++p;
    return number(out.lastPid);
}

// The first number of a line of status, key included ("Uid:" gives the real uid).
bool statusNumber(const char* data, std::size_t len, std::string_view key, std::uint32_t& out) {
    const char* end = data + len;
    const char* p = nullptr;
    if (len >= key.size() && std::memcmp(data, key.data(), key.size()) == 0) {
        p = data + key.size();
    } else {
        for (const char* from = data; !p;) {
            const char* line =
                static_cast<const char*>(memmem(from, end - from, key.data(), key.size()));
            if (!line)
                return false;
            if (line > data && line[-1] == '\n')
                p = line + key.size();
            else
                from = line + 1;
        }
    }
    while (p < end && (*p == ' ' || *p == '\t'))
        ++p;
    return parseDecimal(leadingDigits({p, static_cast<std::size_t>(end - p)}), out);
}

std::string accountName(uid_t uid) {
    struct passwd pw {};
    struct passwd* result = nullptr;
    std::vector<char> buf(1024);
    for (;;) {
        int rc = getpwuid_r(uid, &pw, buf.data(), buf.size(), &result);
        if (rc == ERANGE && buf.size() < (1u << 20)) {
            buf.resize(buf.size() * 2);
            continue;
        }
        break;
    }
    if (result && result->pw_name)
        return result->pw_name;
    return std::to_string(uid);
}

// Keeps a flag up for the length of a pass, even when the visitor throws.
struct PassFlag {
    bool& flag;
    explicit PassFlag(bool& f) : flag(f) { flag = true; }
    ~PassFlag() { flag = false; }
};

} // namespace

bool parseProcStat(std::string_view text, ProcStat& out) {
    const std::size_t open = text.find('(');
    const std::size_t close = text.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        return false;
    out.comm.assign(text.substr(open + 1, close - open - 1));
    // After ")": " state ppid ..." with state as field 3, so the start time, field 22, is the
    // 20th field from here.
    std::size_t p = close + 1;
    std::uint64_t start = 0;
    for (int field = 3; field <= 22; ++field) {
        while (p < text.size() && text[p] == ' ')
            ++p;
        if (p >= text.size())
            return false;
        const std::size_t end = std::min(text.find_first_of(" \n", p), text.size());
        const std::string_view value = text.substr(p, end - p);
        if (field == 3) {
            if (value.size() != 1)
                return false;
            out.state = value[0];
        } else if (field == 4) {
            std::uint64_t ppid = 0;
            if (value.size() > 10 || !parseDecimal(value, ppid))
                return false;
            out.ppid = ppid;
        } else if (field == 9) {
            if (!parseDecimal(value, out.flags))
                return false;
        } else if (field == 22) {
            if (!parseDecimal(value, start))
                return false;
        }
        p = end;
    }
    out.startTime = start;
    return true;
}

bool readProcStat(const std::string& root, pid_t pid, ProcStat& out) {
    const Fd dir(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid())
        return false;
    std::vector<char> buf(4096);
    std::size_t len = 0;
    const std::string name = std::to_string(pid);
    return readSmallFile(dir.get(), name.c_str(), "stat", buf, len) &&
           parseProcStat({buf.data(), len}, out);
}

std::optional<std::string> ProcProcessSource::parentOf(const std::string& processid) {
    pid_t pid = 0;
    ProcStat st;
    if (!parsePidName(processid.c_str(), pid) || !readProcStat(m_root, pid, st))
        return std::nullopt;
    return std::to_string(st.ppid);
}

std::string recogniseProcessName(const std::string& comm, const std::string& argv0) {
    if (comm.size() != kKernelCommMax)
        return comm;
    std::size_t cut = argv0.find_last_of("/\\");
    std::string base = cut == std::string::npos ? argv0 : argv0.substr(cut + 1);
    if (base.size() > comm.size() && base.compare(0, comm.size(), comm) == 0)
        return base;
    return comm;
}

bool ProcProcessSource::pidExists(pid_t pid) {
    return kill(pid, 0) == 0 || errno != ESRCH; // EPERM: there, but another user's
}

ProcProcessSource::ProcProcessSource(std::string procRoot, PidAlive alive)
    : m_root(std::move(procRoot)), m_alive(std::move(alive)), m_dents(32768), m_buf(4096),
      m_comm(64) {}

ProcProcessSource::~ProcProcessSource() = default;

const std::string& ProcProcessSource::userName(uid_t uid) {
    // getpwuid_r may read /etc/passwd or ask a directory service each time.
    auto it = m_users.find(uid);
    if (it == m_users.end())
        it = m_users.emplace(uid, accountName(uid)).first;
    return it->second;
}

ProcProcessSource::Read ProcProcessSource::readProcess(int rootFd, const char* pid, pid_t pidNo,
                                                       Known& k) {
    ++m_reads;
    std::size_t len = 0;
    ProcStat ps;
    uid_t owner = 0;
    if (!readSmallFile(rootFd, pid, "stat", m_buf, len, &owner) ||
        !parseProcStat({m_buf.data(), len}, ps))
        return Read::Skip;
    std::uint32_t uid = 0, tgid = 0;
    if (!readSmallFile(rootFd, pid, "status", m_buf, len) ||
        !statusNumber(m_buf.data(), len, "Uid:", uid))
        return Read::Skip; // vanished or unreadable: like an owner look-up that failed
    // A thread's own entry, which /proc can be asked for but does not list.
    if (statusNumber(m_buf.data(), len, "Tgid:", tgid) && tgid != static_cast<std::uint32_t>(pidNo))
        return Read::Thread;

    std::string name = ps.comm;
    if (name.size() == kKernelCommMax && readSmallFile(rootFd, pid, "cmdline", m_buf, len) &&
        len > 0) {
        const char* argv0 = m_buf.data();
        name = recogniseProcessName(name, std::string(argv0, strnlen(argv0, len)));
    }
    k.entry.Name = std::move(name);
    k.entry.processid = pid;
    k.entry.User = userName(uid);
    k.entry.startTime = ps.startTime;
    k.comm = std::move(ps.comm);
    k.kernelThread = (ps.flags & kPfKthread) != 0;
    k.owner = owner;
    // A zombie, or a task being torn down, has ended: like a vanished process, it is not listed.
    k.ended = ps.state == 'Z' || ps.state == 'X';
    return Read::Ok;
}

ProcProcessSource::Look ProcProcessSource::lookAgain(int rootFd, const char* pid, const Known& k) {
    // Unchanged comm and owner: the same process running the same program, without reading its
    // stat and status. A fork that has since run another program shows it in its comm.
    std::size_t len = 0;
    uid_t owner = 0;
    if (!readSmallFile(rootFd, pid, "comm", m_comm, len, &owner))
        return Look::Gone;
    if (len > 0 && m_comm[len - 1] == '\n')
        --len;
    return owner == k.owner && k.comm.compare(0, std::string::npos, m_comm.data(), len) == 0
               ? Look::Same
               : Look::Changed;
}

std::optional<EnumerationFailure> ProcProcessSource::listRoot(int rootFd, unsigned pass,
                                                              bool full) {
    // Everything a first pass finds was running before the program started, not forked just
    // now: checking all of it again on the next pass would make that pass cost a full one.
    const bool cold = m_known.empty();
    m_order.clear();
    std::optional<EnumerationFailure> failure;
    for (;;) {
        const long n = syscall(SYS_getdents64, rootFd, m_dents.data(), m_dents.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            failure = EnumerationFailure{errorFromErrno(errno), true};
            break;
        }
        if (n == 0)
            break;
        for (long off = 0; off < n;) {
            const auto* d = reinterpret_cast<const LinuxDirent64*>(m_dents.data() + off);
            off += d->d_reclen;
            pid_t pid = 0;
            if (!parsePidName(d->d_name, pid))
                continue;
            auto [it, isNew] = m_known.try_emplace(pid);
            Known& k = it->second;
            if (!isNew && k.seenPass == pass)
                continue; // listed twice: m_order holds it already
            bool read = isNew || d->d_ino != k.inode;
            // A worker thread's comm names its current work, and changes with it.
            if (!read && !k.kernelThread && (full || k.firstPass + 1 == pass)) {
                const Look look = lookAgain(rootFd, d->d_name, k);
                if (look == Look::Gone) {
                    m_known.erase(it);
                    continue;
                }
                read = look == Look::Changed;
            }
            if (read) {
                const std::uint64_t before = k.entry.startTime;
                if (readProcess(rootFd, d->d_name, pid, k) != Read::Ok) {
                    m_known.erase(it);
                    continue;
                }
                k.inode = d->d_ino;
                if (!cold && (isNew || k.entry.startTime != before)) {
                    k.firstPass = pass;
                    m_newPids.push_back(pid);
                }
            }
            k.seenPass = pass;
            m_order.push_back(&k); // the map's elements stay put as it grows
        }
    }

    // What this pass listed in full and did not see has ended.
    if (!failure && m_order.size() != m_known.size()) {
        for (auto it = m_known.begin(); it != m_known.end();) {
            if (it->second.seenPass != pass)
                it = m_known.erase(it);
            else
                ++it;
        }
    }

    return failure;
}

std::optional<TaskCounters> ProcProcessSource::readTaskCounters(int rootFd) {
    std::optional<TaskCounters> counters(std::in_place);
    std::size_t len = 0;
    if (!readSmallFile(rootFd, nullptr, "loadavg", m_buf, len) ||
        !parseTaskCounters({m_buf.data(), len}, *counters))
        counters.reset();
    return counters;
}

ProcProcessSource::Shortcut ProcProcessSource::shortcutFor(int rootFd) {
    char link[32];
    const ssize_t n = readlinkat(rootFd, "self", link, sizeof link - 1);
    if (n >= 0) {
        link[n] = '\0';
        // A /proc of another PID namespace names other PIDs than loadavg and kill(2) do.
        if (std::to_string(getpid()) != link)
            return Shortcut::None;
    }
    // Kernel threads live in the machine's namespace alone, where PID 2 is the one that starts
    // them. Anywhere else the count of tasks, which is the machine's, tells nothing.
    std::size_t len = 0;
    ProcStat ps;
    if (readSmallFile(rootFd, "2", "stat", m_buf, len) && parseProcStat({m_buf.data(), len}, ps) &&
        (ps.flags & kPfKthread))
        return Shortcut::Counted;
    return Shortcut::AskEach;
}

void ProcProcessSource::forget(pid_t pid) {
    const auto it = m_known.find(pid);
    if (it == m_known.end())
        return;
    const Known* k = &it->second;
    std::erase(m_order, k);
    m_known.erase(it);
}

bool ProcProcessSource::probeNewPids(int rootFd, unsigned pass, const TaskCounters& now,
                                     const std::vector<pid_t>& due) {
    const TaskCounters before = *m_countedAt;
    if (now.lastPid < before.lastPid || now.lastPid - before.lastPid > kProbeLimit)
        return false; // many new, or the PIDs wrapped round: a listing is cheaper and sure
    // The new PIDs that hold a task now account for the count's growth, less the older tasks
    // reaped since; the rest of those PIDs were made and have gone again.
    std::uint64_t alive = 0;
    std::vector<pid_t> gone;
    std::vector<std::pair<pid_t, Known>> found;
    char name[24];
    for (std::uint64_t p = before.lastPid + 1; p <= now.lastPid; ++p) {
        const auto pid = static_cast<pid_t>(p);
        std::snprintf(name, sizeof name, "%d", pid);
        struct stat st {};
        const bool exists = fstatat(rootFd, name, &st, 0) == 0;
        if (m_known.contains(pid)) { // listed after the last count was read
            if (exists)
                ++alive;
            else
                gone.push_back(pid);
            continue;
        }
        if (!exists)
            continue;
        Known k;
        switch (readProcess(rootFd, name, pid, k)) {
        case Read::Ok:
            k.inode = st.st_ino;
            found.emplace_back(pid, std::move(k));
            ++alive;
            break;
        case Read::Thread:
            ++alive;
            break;
        case Read::Skip:
            return false; // there, but unreadable: the count cannot be checked
        }
    }
    // The count of tasks is the whole machine's: inside a PID namespace it tells nothing.
    const bool counted = *m_shortcut == Shortcut::Counted;
    if (counted && before.tasks + alive < now.tasks)
        return false; // more tasks than the new PIDs hold: made where this root cannot see
    // Nothing made, nor reaped, while the new PIDs were looked at.
    if (now.lastPid != before.lastPid) {
        const auto again = readTaskCounters(rootFd);
        if (!again || again->lastPid != now.lastPid || (counted && again->tasks != now.tasks))
            return false;
    }
    if (!counted || before.tasks + alive > now.tasks) {
        // Older tasks were reaped, threads or processes. A PID is not handed out again before
        // the PIDs wrap round, so asking the kernel after each process kept finds those gone.
        for (const auto& [pid, k] : m_known) {
            if (pid <= static_cast<pid_t>(before.lastPid) && !m_alive(pid))
                gone.push_back(pid);
        }
    }

    for (pid_t pid : gone)
        forget(pid);
    for (auto& [pid, k] : found) {
        k.firstPass = pass;
        k.seenPass = pass;
        Known& kept = m_known[pid] = std::move(k);
        m_order.push_back(&kept);
        m_newPids.push_back(pid);
    }
    // The second look at what was new on the pass before, as a listing would take it.
    for (pid_t pid : due) {
        const auto it = m_known.find(pid);
        if (it == m_known.end() || it->second.firstPass + 1 != pass || it->second.kernelThread)
            continue;
        Known& k = it->second;
        std::snprintf(name, sizeof name, "%d", pid);
        const Look look = lookAgain(rootFd, name, k);
        if (look == Look::Same)
            continue;
        if (look == Look::Gone) {
            forget(pid);
            continue;
        }
        const std::uint64_t inode = k.inode;
        if (readProcess(rootFd, name, pid, k) != Read::Ok)
            forget(pid);
        else
            k.inode = inode;
    }
    return true;
}

std::optional<EnumerationFailure>
ProcProcessSource::EnumerateProcesses(const ProcessVisitor& visitor) {
    // A visitor that let events run could start another pass over the same state.
    if (m_inPass)
        return EnumerationFailure{programError(ErrorNumber::CantPerformOperation), false};
    const Fd root(open(m_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root.valid())
        return EnumerationFailure{errorFromErrno(errno), false};
    const PassFlag running(m_inPass);

    const unsigned pass = ++m_pass;
    const bool full = m_fullRequested || pass % kFullPassEvery == 1;
    m_fullRequested = false;
    m_reads = 0;
    if (full)
        m_users.clear(); // accounts may have been renamed

    if (!m_shortcut)
        m_shortcut = shortcutFor(root.get());
    // Read before listing, so that a task made during the listing moves them for the next pass.
    std::optional<TaskCounters> counters = readTaskCounters(root.get());
    std::vector<pid_t> due;
    due.swap(m_newPids);
    m_listed = full || *m_shortcut == Shortcut::None || !counters || !m_countedAt ||
               !probeNewPids(root.get(), pass, *counters, due);
    std::optional<EnumerationFailure> failure;
    if (m_listed)
        failure = listRoot(root.get(), pass, full);
    // A listing cut short leaves what is kept unsure: the next pass lists again.
    m_countedAt = failure ? std::nullopt : counters;

    for (const Known* k : m_order) {
        if (!k->ended && !visitor(k->entry))
            return std::nullopt;
    }
    return failure;
}

} // namespace vigilorn

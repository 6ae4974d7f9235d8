#include "ProcProcessSource.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace vigilorn {
namespace {

constexpr std::size_t kKernelCommMax = 15;

struct Dir {
    DIR* d = nullptr;
    ~Dir() {
        if (d)
            closedir(d);
    }
};

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0)
            close(fd);
    }
};

bool isAllDigits(const char* s) {
    if (!*s)
        return false;
    for (; *s; ++s)
        if (*s < '0' || *s > '9')
            return false;
    return true;
}

// Reads the start of dirFd/pid/leaf, at most buf.size() bytes. procfs hands these small files
// over whole in one read, and only the start of cmdline is needed, so one read is enough; the
// second read a loop would make costs a system call per file on every tick. False when the file
// cannot be opened or read, which is what a process that has just ended looks like.
bool readSmallFile(int dirFd, const char* pid, const char* leaf, std::vector<char>& buf,
                   std::size_t& len) {
    char path[64];
    std::snprintf(path, sizeof path, "%s/%s", pid, leaf);
    Fd f{openat(dirFd, path, O_RDONLY | O_CLOEXEC)};
    if (f.fd < 0)
        return false;
    ssize_t n;
    do {
        n = read(f.fd, buf.data(), buf.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return false;
    len = static_cast<std::size_t>(n);
    return true;
}

// A zombie (or a task being torn down) has ended: like a vanished process, it is not listed.
bool hasEnded(const char* data, std::size_t len) {
    static constexpr char kKey[] = "\nState:\t";
    const char* p = static_cast<const char*>(memmem(data, len, kKey, sizeof kKey - 1));
    if (!p || p + sizeof kKey - 1 >= data + len)
        return false;
    const char state = p[sizeof kKey - 1];
    return state == 'Z' || state == 'X';
}

// The real uid: the first number of the "Uid:" line of status.
bool parseRealUid(const char* data, std::size_t len, uid_t& uid) {
    static constexpr char kKey[] = "\nUid:";
    const char* end = data + len;
    const char* p = nullptr;
    if (len >= 4 && std::memcmp(data, kKey + 1, 4) == 0) {
        p = data + 4;
    } else {
        p = static_cast<const char*>(memmem(data, len, kKey, sizeof kKey - 1));
        if (!p)
            return false;
        p += sizeof kKey - 1;
    }
    while (p < end && (*p == ' ' || *p == '\t'))
        ++p;
    if (p == end || *p < '0' || *p > '9')
        return false;
    unsigned long long v = 0;
    while (p < end && *p >= '0' && *p <= '9') {
        v = v * 10 + static_cast<unsigned>(*p - '0');
        if (v > 0xFFFFFFFFull)
            return false;
        ++p;
    }
    uid = static_cast<uid_t>(v);
    return true;
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

} // namespace

std::string recogniseProcessName(const std::string& comm, const std::string& argv0) {
    if (comm.size() != kKernelCommMax)
        return comm;
    std::size_t cut = argv0.find_last_of("/\\");
    std::string base = cut == std::string::npos ? argv0 : argv0.substr(cut + 1);
    if (base.size() > comm.size() && base.compare(0, comm.size(), comm) == 0)
        return base;
    return comm;
}

ProcProcessSource::ProcProcessSource(std::string procRoot) : m_root(std::move(procRoot)) {}

std::optional<EnumerationFailure>
ProcProcessSource::EnumerateProcesses(const ProcessVisitor& visitor) {
    Dir dir{opendir(m_root.c_str())};
    if (!dir.d)
        return EnumerationFailure{errorFromErrno(errno), false};
    const int dirFd = dirfd(dir.d);

    // Account names are looked up once per uid per pass: getpwuid_r may read /etc/passwd or
    // ask a directory service each time.
    std::unordered_map<uid_t, std::string> users;
    std::vector<char> status(4096);
    std::vector<char> comm(64);
    std::vector<char> cmdline(4096);

    for (;;) {
        errno = 0;
        struct dirent* ent = readdir(dir.d);
        if (!ent) {
            if (errno != 0)
                return EnumerationFailure{errorFromErrno(errno), true};
            break;
        }
        if (!isAllDigits(ent->d_name))
            continue;

        std::size_t statusLen = 0;
        uid_t uid = 0;
        if (!readSmallFile(dirFd, ent->d_name, "status", status, statusLen) ||
            !parseRealUid(status.data(), statusLen, uid) || hasEnded(status.data(), statusLen))
            continue; // vanished or unreadable: like an owner look-up that failed

        std::size_t commLen = 0;
        if (!readSmallFile(dirFd, ent->d_name, "comm", comm, commLen))
            continue;
        if (commLen > 0 && comm[commLen - 1] == '\n')
            --commLen;
        std::string name(comm.data(), commLen);

        if (name.size() == kKernelCommMax) {
            std::size_t cmdLen = 0;
            if (readSmallFile(dirFd, ent->d_name, "cmdline", cmdline, cmdLen) && cmdLen > 0) {
                const char* argv0 = cmdline.data();
                std::size_t argv0Len = strnlen(argv0, cmdLen);
                name = recogniseProcessName(name, std::string(argv0, argv0Len));
            }
        }

        auto it = users.find(uid);
        if (it == users.end())
            it = users.emplace(uid, accountName(uid)).first;

        ProcessEntry entry{std::move(name), ent->d_name, it->second};
        // /proc never lists leading zeros, but the PID must be plain decimal whatever the root.
        entry.processid = std::to_string(std::strtoull(ent->d_name, nullptr, 10));
        if (!visitor(entry))
            break;
    }
    return std::nullopt;
}

} // namespace vigilorn

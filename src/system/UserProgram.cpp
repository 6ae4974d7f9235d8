#include "UserProgram.h"

#include "platform/posix/Files.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace vigilorn::sys {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxEntries = 1024;
constexpr std::size_t kMaxCandidates = 16;

int msLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for events on one descriptor until the deadline; false on time-out or error.
bool waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const int left = msLeft(deadline);
        if (left == 0)
            return false;
        pollfd p{fd, events, 0};
        const int ready = ::poll(&p, 1, left);
        if (ready < 0 && errno == EINTR)
            continue;
        return ready > 0 && (p.revents & (events | POLLHUP | POLLERR));
    }
}

bool isCandidate(std::string_view name) {
    return name.size() > hold::kSocketPrefix.size() + hold::kSocketSuffix.size() &&
           name.substr(0, hold::kSocketPrefix.size()) == hold::kSocketPrefix &&
           name.substr(name.size() - hold::kSocketSuffix.size()) == hold::kSocketSuffix;
}

std::vector<std::string> socketNames(int dirFd) {
    std::vector<std::string> names;
    for (auto& name : posix::namesIn(dirFd, kMaxEntries))
        if (isCandidate(name) && names.size() < kMaxCandidates)
            names.push_back(std::move(name));
    std::sort(names.begin(), names.end());
    return names;
}

posix::Fd connectTo(const std::string& path, Clock::time_point deadline) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return {};
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    posix::Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid())
        return {};
    for (;;) {
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0)
            return fd;
        if (errno == EINTR)
            continue;
        if (errno == EINPROGRESS) {
            int error = 0;
            socklen_t len = sizeof error;
            if (!waitFor(fd.get(), POLLOUT, deadline) ||
                ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0)
                return {};
            return fd;
        }
        // A full backlog: the program is busy, try again shortly.
        if (errno != EAGAIN || msLeft(deadline) == 0)
            return {};
        const timespec pause{0, 20'000'000};
        ::nanosleep(&pause, nullptr);
    }
}

} // namespace

UserPrograms::UserPrograms(std::string runUserRoot) : m_root(std::move(runUserRoot)) {}

posix::Fd UserPrograms::connect(uid_t uid, std::chrono::milliseconds within) const {
    const auto deadline = Clock::now() + within;
    const std::string folder = m_root + '/' + std::to_string(uid);
    const posix::Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!dir.valid() || ::fstat(dir.get(), &st) != 0 || st.st_uid != uid ||
        (st.st_mode & 07777) != 0700)
        return {};
    for (const auto& name : socketNames(dir.get())) {
        struct stat entry {};
        if (::fstatat(dir.get(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISSOCK(entry.st_mode) || entry.st_uid != uid)
            continue;
        // Through the folder that was checked, not its path again.
        posix::Fd fd =
            connectTo("/proc/self/fd/" + std::to_string(dir.get()) + '/' + name, deadline);
        if (!fd.valid())
            continue;
        // The name may have been swapped since it was checked: the peer itself must be uid's.
        ucred peer{};
        socklen_t len = sizeof peer;
        if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &len) == 0 &&
            len == sizeof peer && peer.uid == uid)
            return fd;
    }
    return {};
}

bool sendLine(int fd, std::string_view line, std::chrono::milliseconds within) {
    const auto deadline = Clock::now() + within;
    while (!line.empty()) {
        const ssize_t n = ::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
        if (n > 0) {
            line.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN && waitFor(fd, POLLOUT, deadline))
            continue;
        return false;
    }
    return true;
}

void tellProgram(const UserPrograms& programs, uid_t uid, const hold::Note& note,
                 std::chrono::milliseconds within) {
    const posix::Fd fd = programs.connect(uid, within);
    if (fd.valid())
        sendLine(fd.get(), hold::noteLine(note), within);
}

hold::Answer askToHold(int fd, std::string_view frontend, std::chrono::milliseconds within) {
    const auto deadline = Clock::now() + within;
    if (!sendLine(fd, hold::holdLine(frontend), within))
        return hold::Answer::None;
    char buf[hold::kMaxLine];
    std::size_t got = 0;
    while (got < sizeof buf) {
        if (!waitFor(fd, POLLIN, deadline))
            return hold::Answer::None;
        const ssize_t n = ::recv(fd, buf + got, sizeof buf - got, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return hold::Answer::None;
        got += static_cast<std::size_t>(n);
        const std::string_view seen(buf, got);
        const std::size_t nl = seen.find('\n');
        if (nl != std::string_view::npos)
            return hold::parseAnswer(seen.substr(0, nl + 1));
    }
    return hold::Answer::None;
}

} // namespace vigilorn::sys

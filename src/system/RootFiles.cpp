#include "RootFiles.h"

#include "platform/posix/Files.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace vigilorn::sys {

PlatformError failure(int err, const std::string& what) {
    return {err, what + ": " + errorFromErrno(err).description};
}

Failure openRootFolder(int parent, const std::string& name, const std::string& shown, mode_t mode,
                       posix::Fd& out, bool create) {
    const bool made = create && ::mkdirat(parent, name.c_str(), mode) == 0;
    if (create && !made && errno != EEXIST)
        return failure(errno, "Could not create " + shown);
    out.reset(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!out.valid()) {
        if (errno == ELOOP || errno == ENOTDIR)
            return PlatformError{ELOOP, shown + " is a link or not a folder; refusing to use it"};
        return failure(errno, "Could not open " + shown);
    }
    struct stat st {};
    if (::fstat(out.get(), &st) != 0)
        return failure(errno, "Could not look at " + shown);
    if (st.st_uid != 0)
        return PlatformError{EPERM, shown + " is not owned by root; refusing to use it"};
    if (made && (::fchown(out.get(), 0, 0) != 0 || ::fchmod(out.get(), mode) != 0))
        return failure(errno, "Could not set the owner of " + shown);
    if (!made && (st.st_mode & 07777) != mode) {
        // Group- or world-writable, anyone could swap what is inside.
        if (st.st_mode & (S_IWGRP | S_IWOTH))
            return PlatformError{EPERM, shown + " is writable by others; refusing to use it"};
        if (::fchmod(out.get(), mode) != 0)
            return failure(errno, "Could not set the mode of " + shown);
    }
    return std::nullopt;
}

Failure openRootPath(const std::string& folder, mode_t mode, posix::Fd& out, bool create) {
    const auto slash = folder.find_last_of('/');
    if (folder.empty() || folder[0] != '/' || slash + 1 >= folder.size())
        return PlatformError{EINVAL, folder + " must be an absolute path"};
    posix::Fd parent(::open(slash == 0 ? "/" : folder.substr(0, slash).c_str(),
                            O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent.valid())
        return failure(errno, "Could not open the folder above " + folder);
    return openRootFolder(parent.get(), folder.substr(slash + 1), folder, mode, out, create);
}

std::optional<std::string> readSmall(int dir, const char* name, std::int64_t limit,
                                     bool rootOwned) {
    auto read =
        posix::readFile(dir, name, static_cast<std::size_t>(std::max<std::int64_t>(limit, 0)),
                        posix::kNoFollow | (rootOwned ? posix::kRootOwned : 0u));
    if (!read.ok())
        return std::nullopt;
    return std::move(read.text);
}

Failure replaceFile(int dir, const std::string& name, const std::string& text, mode_t mode) {
    if (const int e = posix::replaceFile(dir, name, text, mode))
        return failure(e, "Could not write " + name);
    return std::nullopt;
}

Failure FolderLock::acquire(int dir, const char* name, int waitSeconds, const std::string& busy) {
    m_fd.reset(::openat(dir, name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!m_fd.valid())
        return failure(errno, "Could not open the system points' lock");
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(waitSeconds);
    while (::flock(m_fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK)
            return failure(errno, "Could not lock the system points");
        if (std::chrono::steady_clock::now() >= until)
            return PlatformError{EBUSY, busy};
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return std::nullopt;
}

} // namespace vigilorn::sys

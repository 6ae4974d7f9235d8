#include "Files.h"

#include "Fd.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vigilorn::posix {

FileRead readFile(int dir, const std::string& name, std::size_t limit, unsigned flags) {
    FileRead out;
    const auto refuse = [&out](ReadFailure why, int err = 0) {
        out.text.clear();
        out.failure = why;
        out.errorNumber = err;
        return out;
    };
    const int openFlags =
        O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | ((flags & kNoFollow) ? O_NOFOLLOW : 0);
    const Fd f(::openat(dir, name.c_str(), openFlags));
    if (!f.valid()) {
        const int err = errno;
        if (err == ENOENT || err == ENOTDIR)
            return refuse(ReadFailure::Missing, err);
        if (err == ELOOP && (flags & kNoFollow))
            return refuse(ReadFailure::Link, err);
        return refuse(ReadFailure::Failed, err);
    }
    struct stat st {};
    if (::fstat(f.get(), &st) != 0)
        return refuse(ReadFailure::Failed, errno);
    if (!S_ISREG(st.st_mode))
        return refuse(ReadFailure::NotAFile);
    if ((flags & kRootOwned) && st.st_uid != 0)
        return refuse(ReadFailure::NotRootOwned);
    if (st.st_size > 0 && static_cast<std::size_t>(st.st_size) > limit)
        return refuse(ReadFailure::TooLarge);
    // One byte past the limit tells a file of exactly the limit from a longer one.
    const std::size_t over = limit < SIZE_MAX ? limit + 1 : limit;
    out.text.resize(st.st_size > 0 ? static_cast<std::size_t>(st.st_size) + 1
                                   : std::min<std::size_t>(over, 4096));
    std::size_t got = 0;
    for (;;) {
        if (got == out.text.size()) {
            if (got > limit)
                return refuse(ReadFailure::TooLarge);
            out.text.resize(std::min(over, got * 2));
        }
        const ssize_t n = ::read(f.get(), out.text.data() + got, out.text.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return refuse(ReadFailure::Failed, errno);
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    if (got > limit)
        return refuse(ReadFailure::TooLarge);
    out.text.resize(got);
    return out;
}

const char* failureName(ReadFailure failure) {
    switch (failure) {
    case ReadFailure::None:
        return "read";
    case ReadFailure::Missing:
        return "missing";
    case ReadFailure::Link:
        return "a link";
    case ReadFailure::NotAFile:
        return "not a regular file";
    case ReadFailure::NotRootOwned:
        return "not owned by root";
    case ReadFailure::TooLarge:
        return "too large";
    case ReadFailure::Failed:
        break;
    }
    return "unreadable";
}

int writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            return ENOSPC;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

int replaceFile(int dir, const std::string& name, std::string_view text, mode_t mode) {
    const std::string temp = "." + name + ".new";
    ::unlinkat(dir, temp.c_str(), 0); // left by a crash
    Fd f(::openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!f.valid())
        return errno;
    int err = writeAll(f.get(), text);
    // The mode again: the creation mask may have taken bits off.
    if (err == 0 && (::fchmod(f.get(), mode) != 0 || ::fsync(f.get()) != 0))
        err = errno;
    if (err == 0 && ::close(f.release()) != 0)
        err = errno;
    if (err == 0 && ::renameat(dir, temp.c_str(), dir, name.c_str()) != 0)
        err = errno;
    if (err != 0) {
        ::unlinkat(dir, temp.c_str(), 0);
        return err;
    }
    return ::fsync(dir) == 0 ? 0 : errno;
}

std::vector<std::string> namesIn(int dir, std::size_t limit) {
    std::vector<std::string> names;
    const int copy = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (copy < 0)
        return names;
    DIR* d = ::fdopendir(copy);
    if (!d) {
        ::close(copy);
        return names;
    }
    std::size_t seen = 0;
    while (const dirent* e = ::readdir(d)) {
        if (seen++ == limit)
            break;
        const std::string_view n(e->d_name);
        if (n != "." && n != "..")
            names.emplace_back(n);
    }
    ::closedir(d);
    return names;
}

std::optional<std::uint64_t> mountOf(int dir, const char* name) {
    struct statx st {};
    const int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | (*name ? 0 : AT_EMPTY_PATH);
    if (::statx(dir, name, flags, STATX_TYPE | STATX_MNT_ID, &st) != 0)
        return std::nullopt;
    if (st.stx_mask & STATX_MNT_ID)
        return st.stx_mnt_id;
    // The device's two numbers in one, marked apart from any mount id.
    if (S_ISDIR(st.stx_mode))
        return (std::uint64_t{1} << 63) | (std::uint64_t{st.stx_dev_major} << 32) |
               st.stx_dev_minor;
    return std::nullopt;
}

} // namespace vigilorn::posix

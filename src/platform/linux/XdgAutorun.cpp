#include "XdgAutorun.h"

#include "platform/posix/Text.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <vector>

namespace vigilorn {
namespace {

constexpr const char* kEntryName = "QMVigilorn.desktop";

bool writeAll(int fd, const std::string& text) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

bool isUtf8(const std::string& s) {
    for (std::string_view rest = s; !rest.empty();) {
        const std::size_t length = posix::utf8Char(rest).length;
        if (length == 0)
            return false;
        rest.remove_prefix(length);
    }
    return true;
}

// The first of `path` and the folders above it that a user not trusted could change: one not
// theirs, or writable by group or others. A sticky folder is safe for a trusted entry in it.
std::optional<std::string> changeableByOthers(std::string path, uid_t alsoTrusted) {
    auto trusted = [&](uid_t uid) { return uid == 0 || uid == alsoTrusted; };
    struct stat below {};
    bool haveBelow = false;
    while (true) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !trusted(st.st_uid))
            return path;
        const bool stickyForBelow =
            S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) && haveBelow && trusted(below.st_uid);
        if (!S_ISLNK(st.st_mode) && (st.st_mode & 022) && !stickyForBelow)
            return path;
        if (path == "/")
            return std::nullopt;
        const auto slash = path.rfind('/');
        path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
        below = st;
        haveBelow = true;
    }
}

} // namespace

std::string XdgAutorun::configDir() {
    const char* env = std::getenv("XDG_CONFIG_DIRS");
    std::string dirs = env ? env : "";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        const std::string dir = dirs.substr(start, end - start);
        // Relative entries are invalid and are ignored.
        if (!dir.empty() && dir.front() == '/')
            return dir;
        start = end + 1;
    }
    return "/etc/xdg";
}

std::string XdgAutorun::entryPath() {
    return configDir() + "/autostart/" + kEntryName;
}

std::string XdgAutorun::execValue(const std::string& program) {
    // The argument: always quoted; inside the quotes " ` $ \ are backslash-escaped, and a
    // literal % is doubled so it cannot be read as a field code.
    std::string arg = "\"";
    for (char c : program) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            arg += '\\';
        if (c == '%')
            arg += '%';
        arg += c;
    }
    arg += '"';
    // Then the escapes of every string value of the file.
    std::string value;
    for (char c : arg) {
        switch (c) {
        case '\\':
            value += "\\\\";
            break;
        case '\n':
            value += "\\n";
            break;
        case '\t':
            value += "\\t";
            break;
        case '\r':
            value += "\\r";
            break;
        default:
            value += c;
        }
    }
    return value;
}

std::string XdgAutorun::entryText(const std::string& program) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Quillmere Vigilorn\n"
           "Comment=Reminds you to create a restore point before software is installed\n"
           "Exec=" +
           execValue(program) +
           "\n"
           "Icon=qmvigilorn\n"
           "Terminal=false\n";
}

Failure XdgAutorun::write(const std::string& commandPath) {
    const std::string dir = configDir() + "/autostart";
    const std::string target = dir + "/" + kEntryName;
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        return errorFromErrno(errno);

    // A temporary file in the same folder, renamed into place: a reader never sees half an
    // entry, and a failed write leaves the old one.
    std::string tmp = dir + "/." + kEntryName + ".XXXXXX";
    std::vector<char> name(tmp.begin(), tmp.end());
    name.push_back('\0');
    const int fd = ::mkstemp(name.data());
    if (fd < 0)
        return errorFromErrno(errno);
    tmp.assign(name.data());

    int err = 0;
    if (::fchmod(fd, 0644) != 0 || !writeAll(fd, entryText(commandPath)) || ::fsync(fd) != 0)
        err = errno;
    if (::close(fd) != 0 && err == 0)
        err = errno;
    if (err == 0 && ::rename(tmp.c_str(), target.c_str()) != 0)
        err = errno;
    if (err != 0) {
        ::unlink(tmp.c_str());
        return errorFromErrno(err);
    }
    // The rename itself is durable once the folder is synced; a failure here loses nothing
    // already written, so it is not reported.
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return std::nullopt;
}

Failure XdgAutorun::checkCommand(const std::string& commandPath) const {
    auto problem = [&](int number, const std::string& why) {
        return PlatformError{number, "The program " + commandPath + " " + why};
    };
    if (commandPath.find('%') != std::string::npos)
        return problem(EINVAL, "cannot be started at log-on: its path contains \"%\"");
    if (!isUtf8(commandPath))
        return problem(EILSEQ, "cannot be started at log-on: its path is not UTF-8 text");
    struct stat st {};
    if (::stat(commandPath.c_str(), &st) != 0) {
        const int err = errno;
        return problem(err, "cannot be found: " + errorFromErrno(err).description);
    }
    if (!S_ISREG(st.st_mode))
        return problem(EINVAL, "is not a file");
    if (::access(commandPath.c_str(), X_OK) != 0) {
        const int err = errno;
        return problem(err, "cannot be run: " + errorFromErrno(err).description);
    }
    // Every user runs what the entry names: a file another user could replace would run their
    // code in everyone's session. Both the path as given and the file it leads to count.
    std::optional<std::string> open = changeableByOthers(commandPath, m_alsoTrusted);
    if (char* real = ::realpath(commandPath.c_str(), nullptr)) {
        if (!open)
            open = changeableByOthers(real, m_alsoTrusted);
        std::free(real);
    }
    if (open)
        return problem(EPERM, "cannot be started at log-on for every user: " + *open +
                                  " can be changed by a user other than root.");
    return std::nullopt;
}

Failure XdgAutorun::remove() {
    const std::string path = entryPath();
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        const int err = errno;
        return PlatformError{err,
                             "Could not remove " + path + ": " + errorFromErrno(err).description};
    }
    return std::nullopt;
}

} // namespace vigilorn

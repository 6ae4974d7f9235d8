#include "platform/ForeignFolder.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vigilorn {
namespace {

// As the kernel counts them, so that a loop of links ends.
constexpr int kMaxLinks = 40;

void pushFrontComponents(std::deque<std::string>& rest, const std::string& path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        std::string part = path.substr(start, end - start);
        if (!part.empty() && part != ".")
            parts.push_back(std::move(part));
        start = end + 1;
    }
    rest.insert(rest.begin(), parts.begin(), parts.end());
}

std::string userName(uid_t uid) {
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == 0 && found && pw.pw_name)
        return pw.pw_name;
    return {};
}

} // namespace

Failure foreignFolder(const std::string& what, const std::string& path) {
    if (::geteuid() != 0)
        return std::nullopt;
    auto refuse = [&](const std::string& why, const std::string& user) {
        const std::string as = user.empty() ? "the user whose folder it is" : user;
        return PlatformError{kForeignFolder,
                             what + " " + path + " is not used: the program runs as root, and " +
                                 why + ". Run the program as " + as +
                                 ", or as root without sudo -E, so that it uses root's own "
                                 "folders."};
    };
    if (path.empty() || path.front() != '/')
        return refuse("it is not an absolute path", {});

    std::deque<std::string> rest;
    pushFrontComponents(rest, path);
    std::string at; // the folders passed so far, no link among them; empty is "/"
    int links = 0;
    while (!rest.empty()) {
        const std::string name = rest.front();
        rest.pop_front();
        if (name == "..") {
            at.erase(at.empty() ? 0 : at.rfind('/'));
            continue;
        }
        const std::string next = at + "/" + name;
        struct stat st {};
        if (::lstat(next.c_str(), &st) != 0) {
            // Made later by root, inside a folder no one else can change.
            if (errno == ENOENT)
                return std::nullopt;
            return refuse(next + " cannot be examined (" + std::strerror(errno) + ")", {});
        }
        if (st.st_uid != 0) {
            const std::string user = userName(st.st_uid);
            return refuse(next + " belongs to " + (user.empty() ? "another user" : user) +
                              " (uid " + std::to_string(st.st_uid) + ")",
                          user);
        }
        if (S_ISLNK(st.st_mode)) {
            if (++links > kMaxLinks)
                return refuse("the links from " + next + " on lead round without end", {});
            char target[PATH_MAX];
            const ssize_t n = ::readlink(next.c_str(), target, sizeof target);
            if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target)
                return refuse(next + " is a link that cannot be read", {});
            const std::string to(target, static_cast<std::size_t>(n));
            if (to.front() == '/')
                at.clear();
            pushFrontComponents(rest, to);
            continue;
        }
        // Others could put their own entries there; the sticky bit (/tmp) keeps root's safe.
        const bool othersWrite =
            (st.st_mode & S_IWOTH) != 0 || ((st.st_mode & S_IWGRP) != 0 && st.st_gid != 0);
        if (S_ISDIR(st.st_mode) && othersWrite && (st.st_mode & S_ISVTX) == 0)
            return refuse("other users may change " + next, {});
        at = next;
    }
    return std::nullopt;
}

} // namespace vigilorn

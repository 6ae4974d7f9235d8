#include "EtcRestore.h"

#include "platform/posix/Fd.h"
#include "platform/posix/Files.h"
#include "store/FolderEntries.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <vector>

namespace vigilorn::sys {

namespace {

constexpr const char* kTemp = ".qmvigilorn-restore.tmp";
constexpr int kMaxRemoveDepth = 128;

using store::isDotGit;
using store::namesIn;

// Removes an entry of the folder, a folder with all that is in it; links are removed, never
// followed.
bool removeEntry(int dir, const std::string& name, int depth = 0) {
    struct stat st {};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(st.st_mode))
        return ::unlinkat(dir, name.c_str(), 0) == 0;
    if (depth > kMaxRemoveDepth)
        return false;
    posix::Fd child(::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!child.valid())
        return false;
    bool ok = true;
    for (const auto& n : namesIn(child.get()))
        ok = removeEntry(child.get(), n, depth + 1) && ok;
    return ok && ::unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0;
}

bool writeAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Whether the regular file holds exactly `data`.
bool sameContent(int dir, const char* name, const std::string& data) {
    const auto read = posix::readFile(dir, name, data.size(), posix::kNoFollow);
    return read.ok() && read.text == data;
}

class Restorer {
public:
    Restorer(const StoredPoint& point, const std::function<void(const std::string&)>& warn,
             EtcResult& result)
        : m_point(point), m_warn(warn), m_result(result) {
        for (const auto& [path, entry] : point.etc)
            m_entries[path] = &entry;
        // Empty folders are in the owners only; what the point left out is not among them.
        for (const auto& [path, owner] : point.owners) {
            if (!S_ISDIR(owner.mode) || m_entries.count(path) || leftOut(path))
                continue;
            const auto slash = path.rfind('/');
            if (slash == std::string::npos)
                continue;
            const auto parent = m_entries.find(path.substr(0, slash));
            if (parent != m_entries.end() && parent->second->type == StoredEntry::Type::Folder)
                m_entries[path] = &m_folder;
        }
        for (const auto& [path, entry] : m_entries) {
            const auto slash = path.rfind('/');
            if (slash != std::string::npos)
                m_children[path.substr(0, slash)].push_back(path.substr(slash + 1));
        }
    }

    void folder(int fd, const std::string& path) {
        const auto& children = m_children[path];
        const std::set<std::string> wanted(children.begin(), children.end());
        for (const auto& name : children)
            entry(fd, name, path + '/' + name, *m_entries.at(path + '/' + name));
        for (const auto& name : namesIn(fd)) {
            const std::string child = path + '/' + name;
            // Left out of the point, or never taken: not added since.
            if (wanted.count(name) || isDotGit(name) || leftOut(child) ||
                m_point.owners.count(child))
                continue;
            if (removeEntry(fd, name))
                ++m_result.removed;
            else
                fail("could not remove " + shown(child));
        }
        ownerOf(fd, nullptr, path, StoredEntry::Type::Folder);
        ::fsync(fd);
    }

private:
    bool leftOut(const std::string& path) const {
        // A folder left out keeps everything below it.
        for (std::string p = path;;) {
            if (m_point.leftOut.count(p))
                return true;
            const auto slash = p.rfind('/');
            if (slash == std::string::npos)
                return false;
            p.resize(slash);
        }
    }

    static std::string shown(const std::string& path) { return "/" + path; }

    void fail(const std::string& text) {
        ++m_result.failed;
        if (m_warn)
            m_warn(text);
    }

    // The owner and mode the point gives the entry; a file or folder of root's otherwise.
    void ownerOf(int fd, const char* name, const std::string& path, StoredEntry::Type type) {
        const auto it = m_point.owners.find(path);
        const mode_t wantType = type == StoredEntry::Type::Folder ? S_IFDIR
                                : type == StoredEntry::Type::Link ? S_IFLNK
                                                                  : S_IFREG;
        uid_t uid = 0;
        gid_t gid = 0;
        mode_t mode = type == StoredEntry::Type::Folder ? 0755 : 0644;
        if (it != m_point.owners.end() && (it->second.mode & S_IFMT) == wantType) {
            uid = it->second.uid;
            gid = it->second.gid;
            mode = it->second.mode & 07777;
        } else {
            fail("the point has no owner for " + shown(path) + "; it is made root's");
        }
        if (type == StoredEntry::Type::Link) {
            if (::fchownat(fd, name, uid, gid, AT_SYMLINK_NOFOLLOW) != 0)
                fail("could not set the owner of " + shown(path) + ": " + std::strerror(errno));
            return;
        }
        // The owner first: changing it clears set-user-ID bits.
        if (::fchown(fd, uid, gid) != 0 || ::fchmod(fd, mode) != 0)
            fail("could not set the owner and mode of " + shown(path) + ": " +
                 std::strerror(errno));
    }

    bool sameOwner(const struct stat& st, const std::string& path) const {
        const auto it = m_point.owners.find(path);
        return it != m_point.owners.end() && it->second.mode == st.st_mode &&
               it->second.uid == st.st_uid && it->second.gid == st.st_gid;
    }

    void entry(int dir, const std::string& name, const std::string& path, const StoredEntry& e) {
        struct stat st {};
        const bool exists = ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        switch (e.type) {
        case StoredEntry::Type::Folder: {
            if (exists && !S_ISDIR(st.st_mode) && !removeEntry(dir, name)) {
                fail("could not remove " + shown(path) + " to put its folder back");
                return;
            }
            if ((!exists || !S_ISDIR(st.st_mode)) && ::mkdirat(dir, name.c_str(), 0700) != 0) {
                fail("could not create " + shown(path) + ": " + std::strerror(errno));
                return;
            }
            posix::Fd child(
                ::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!child.valid()) {
                fail("could not open " + shown(path) + ": " + std::strerror(errno));
                return;
            }
            folder(child.get(), path);
            return;
        }
        case StoredEntry::Type::File: {
            if (exists && S_ISREG(st.st_mode) && sameOwner(st, path) &&
                sameContent(dir, name.c_str(), e.data))
                return;
            ::unlinkat(dir, kTemp, 0);
            posix::Fd f(
                ::openat(dir, kTemp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (!f.valid() || !writeAll(f.get(), e.data)) {
                fail("could not write " + shown(path) + ": " + std::strerror(errno));
                ::unlinkat(dir, kTemp, 0);
                return;
            }
            ownerOf(f.get(), nullptr, path, e.type);
            if (::fsync(f.get()) != 0) {
                fail("could not write " + shown(path) + ": " + std::strerror(errno));
                ::unlinkat(dir, kTemp, 0);
                return;
            }
            break;
        }
        case StoredEntry::Type::Link: {
            if (exists && S_ISLNK(st.st_mode)) {
                std::string target(e.data.size() + 1, '\0');
                const ssize_t n = ::readlinkat(dir, name.c_str(), target.data(), target.size());
                if (n >= 0 && static_cast<std::size_t>(n) == e.data.size() &&
                    target.compare(0, e.data.size(), e.data) == 0) {
                    if (!sameOwner(st, path))
                        ownerOf(dir, name.c_str(), path, e.type);
                    return;
                }
            }
            ::unlinkat(dir, kTemp, 0);
            if (::symlinkat(e.data.c_str(), dir, kTemp) != 0) {
                fail("could not create the link " + shown(path) + ": " + std::strerror(errno));
                return;
            }
            ownerOf(dir, kTemp, path, e.type);
            break;
        }
        }
        // A folder in the way goes first: rename() does not replace one with a file.
        if (exists && S_ISDIR(st.st_mode) && !removeEntry(dir, name)) {
            ::unlinkat(dir, kTemp, 0);
            fail("could not remove the folder " + shown(path) + " to put its file back");
            return;
        }
        if (::renameat(dir, kTemp, dir, name.c_str()) != 0) {
            fail("could not put back " + shown(path) + ": " + std::strerror(errno));
            ::unlinkat(dir, kTemp, 0);
            return;
        }
        ++m_result.written;
    }

    const StoredPoint& m_point;
    const std::function<void(const std::string&)>& m_warn;
    EtcResult& m_result;
    StoredEntry m_folder{StoredEntry::Type::Folder, false, {}};
    std::map<std::string, const StoredEntry*> m_entries;
    std::map<std::string, std::vector<std::string>> m_children;
};

} // namespace

EtcResult restoreEtc(const std::string& etc, const StoredPoint& point,
                     const std::function<void(const std::string&)>& warn) {
    EtcResult result;
    const auto top = point.etc.find("etc");
    if (top == point.etc.end() || top->second.type != StoredEntry::Type::Folder) {
        ++result.failed;
        if (warn)
            warn("the point holds no /etc");
        return result;
    }
    posix::Fd fd(::open(etc.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        ++result.failed;
        if (warn)
            warn("could not open " + etc + ": " + std::strerror(errno));
        return result;
    }
    Restorer(point, warn, result).folder(fd.get(), "etc");
    return result;
}

} // namespace vigilorn::sys

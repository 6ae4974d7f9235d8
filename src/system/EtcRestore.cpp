#include "EtcRestore.h"

#include "SecurityFiles.h"
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

// One run's own name, so that a run never takes another's half-written file for its own.
const char* tempName() {
    static const std::string name = ".qmvigilorn-restore." + std::to_string(::getpid()) + ".tmp";
    return name.c_str();
}
constexpr int kMaxRemoveDepth = 128;

using store::isDotGit;
using store::namesIn;

// Removes an entry of the folder, a folder with all that is in it, through descriptors opened
// from the trusted folder with O_NOFOLLOW; links are removed, never followed. An entry on
// another mount than `mount` is not touched and counts as a failure.
bool removeEntry(int dir, const std::string& name, std::optional<std::uint64_t> mount,
                 int depth = 0) {
    struct stat st {};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (const auto here = mount ? posix::mountOf(dir, name.c_str()) : std::nullopt;
        here && *here != *mount)
        return false;
    if (!S_ISDIR(st.st_mode))
        return ::unlinkat(dir, name.c_str(), 0) == 0;
    if (depth > kMaxRemoveDepth)
        return false;
    posix::Fd child(::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!child.valid())
        return false;
    bool ok = true;
    for (const auto& n : namesIn(child.get()))
        ok = removeEntry(child.get(), n, mount, depth + 1) && ok;
    return ok && ::unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0;
}

// Whether the regular file holds exactly `data`.
bool sameContent(int dir, const char* name, const std::string& data) {
    const auto read = posix::readFile(dir, name, data.size(), posix::kNoFollow);
    return read.ok() && read.text == data;
}

class Restorer {
public:
    // With `plan`, nothing is changed: what would be is added to it.
    Restorer(const StoredPoint& point, const std::function<void(const std::string&)>& warn,
             EtcResult& result, std::optional<std::uint64_t> mount,
             std::vector<EtcChange>* plan = nullptr)
        : m_point(point), m_warn(warn), m_result(result), m_mount(mount), m_plan(plan) {
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

    // A plan's folder that is missing now is -1.
    void folder(int fd, const std::string& path) {
        const auto& children = m_children[path];
        const std::set<std::string> wanted(children.begin(), children.end());
        for (const auto& name : children)
            entry(fd, name, path + '/' + name, *m_entries.at(path + '/' + name));
        for (const auto& name : fd < 0 ? std::vector<std::string>{} : namesIn(fd)) {
            const std::string child = path + '/' + name;
            // Left out of the point, or never taken: not added since.
            if (wanted.count(name) || isDotGit(name) || leftOut(child) ||
                m_point.owners.count(child) || elsewhere(fd, name, child))
                continue;
            if (m_plan)
                planned(child, EtcChange::Kind::Removed);
            else if (removeEntry(fd, name, m_mount))
                ++m_result.removed;
            else
                fail("could not remove " + shown(child));
        }
        if (m_plan)
            return;
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

    void planned(const std::string& path, EtcChange::Kind kind) { m_plan->push_back({path, kind}); }

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

    // Something mounted here belongs to its own file system: neither written into nor removed.
    bool elsewhere(int dir, const std::string& name, const std::string& path) {
        const auto mount = m_mount ? posix::mountOf(dir, name.c_str()) : std::nullopt;
        if (!mount || *mount == *m_mount)
            return false;
        if (m_warn)
            m_warn(shown(path) + " is on another file system; it is left as it is");
        return true;
    }

    void entry(int dir, const std::string& name, const std::string& path, const StoredEntry& e) {
        if (elsewhere(dir, name, path))
            return;
        struct stat st {};
        const bool exists = ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        switch (e.type) {
        case StoredEntry::Type::Folder: {
            if (m_plan) {
                const bool folderNow = exists && S_ISDIR(st.st_mode);
                if (!folderNow)
                    planned(path, exists ? EtcChange::Kind::Back : EtcChange::Kind::Made);
                else if (!sameOwner(st, path))
                    planned(path, EtcChange::Kind::Owner);
                posix::Fd child(folderNow
                                    ? ::openat(dir, name.c_str(),
                                               O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                                    : -1);
                folder(child.get(), path);
                return;
            }
            if (exists && !S_ISDIR(st.st_mode) && !removeEntry(dir, name, m_mount)) {
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
            if (m_plan) {
                const bool sameData =
                    exists && S_ISREG(st.st_mode) && sameContent(dir, name.c_str(), e.data);
                planned(path, !exists    ? EtcChange::Kind::Made
                              : sameData ? EtcChange::Kind::Owner
                                         : EtcChange::Kind::Back);
                return;
            }
            ::unlinkat(dir, tempName(), 0);
            posix::Fd f(::openat(dir, tempName(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (const int err = f.valid() ? posix::writeAll(f.get(), e.data) : errno) {
                fail("could not write " + shown(path) + ": " + std::strerror(err));
                ::unlinkat(dir, tempName(), 0);
                return;
            }
            ownerOf(f.get(), nullptr, path, e.type);
            if (::fsync(f.get()) != 0) {
                fail("could not write " + shown(path) + ": " + std::strerror(errno));
                ::unlinkat(dir, tempName(), 0);
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
                    if (m_plan && !sameOwner(st, path))
                        planned(path, EtcChange::Kind::Owner);
                    else if (!sameOwner(st, path))
                        ownerOf(dir, name.c_str(), path, e.type);
                    return;
                }
            }
            if (m_plan) {
                planned(path, exists ? EtcChange::Kind::Back : EtcChange::Kind::Made);
                return;
            }
            ::unlinkat(dir, tempName(), 0);
            if (::symlinkat(e.data.c_str(), dir, tempName()) != 0) {
                fail("could not create the link " + shown(path) + ": " + std::strerror(errno));
                return;
            }
            ownerOf(dir, tempName(), path, e.type);
            break;
        }
        }
        // A folder in the way goes first: rename() does not replace one with a file.
        if (exists && S_ISDIR(st.st_mode) && !removeEntry(dir, name, m_mount)) {
            ::unlinkat(dir, tempName(), 0);
            fail("could not remove the folder " + shown(path) + " to put its file back");
            return;
        }
        if (::renameat(dir, tempName(), dir, name.c_str()) != 0) {
            fail("could not put back " + shown(path) + ": " + std::strerror(errno));
            ::unlinkat(dir, tempName(), 0);
            return;
        }
        ++m_result.written;
    }

    const StoredPoint& m_point;
    const std::function<void(const std::string&)>& m_warn;
    EtcResult& m_result;
    const std::optional<std::uint64_t> m_mount; // /etc's own file system
    std::vector<EtcChange>* m_plan = nullptr;
    StoredEntry m_folder{StoredEntry::Type::Folder, false, {}};
    std::map<std::string, const StoredEntry*> m_entries;
    std::map<std::string, std::vector<std::string>> m_children;
};

} // namespace

std::vector<std::string> credentialChanges(const std::string& etc, const StoredPoint& point) {
    std::set<std::string> changed;
    for (const auto& c : planEtc(etc, point))
        if (securityRelevant(c.path))
            changed.insert(c.path);
    return {changed.begin(), changed.end()};
}

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
    Restorer(point, warn, result, posix::mountOf(fd.get(), "")).folder(fd.get(), "etc");
    return result;
}

std::vector<EtcChange> planEtc(const std::string& etc, const StoredPoint& point) {
    std::vector<EtcChange> plan;
    EtcResult result;
    const std::function<void(const std::string&)> quiet;
    const auto top = point.etc.find("etc");
    if (top == point.etc.end() || top->second.type != StoredEntry::Type::Folder)
        return plan;
    posix::Fd fd(::open(etc.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const auto mount = fd.valid() ? posix::mountOf(fd.get(), "") : std::nullopt;
    Restorer(point, quiet, result, mount, &plan).folder(fd.get(), "etc");
    return plan;
}

} // namespace vigilorn::sys

#include "Staging.h"

#include "Md5.h"
#include "platform/posix/Fd.h"

#include "platform/posix/Files.h"
#include "platform/posix/Text.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/openat2.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <set>
#include <vector>

namespace vigilorn::sys {

using posix::Fd;

namespace {

constexpr std::string_view kStagedSuffix = ".staged";
constexpr const char* kListCopy = "list";
constexpr std::size_t kMaxListFile = 64u << 20;
constexpr std::size_t kMaxInfoFile = 16u << 20;
constexpr std::size_t kMaxDiversions = 16u << 20;
// Links followed while one folder is found, as the kernel allows.
constexpr int kMaxLinks = 40;

// Control data dpkg keeps for a package, as they go into DEBIAN/.
constexpr const char* kScripts[] = {"preinst", "postinst", "prerm", "postrm", "config"};
constexpr const char* kControlFiles[] = {"md5sums", "templates", "triggers", "shlibs", "symbols"};

std::vector<std::string_view> lines(std::string_view text) {
    std::vector<std::string_view> out;
    while (!text.empty()) {
        const auto end = text.find('\n');
        out.push_back(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    }
    return out;
}

// An absolute path of names: no empty, "." or ".." part, no NUL.
bool cleanPath(std::string_view path) {
    if (path.size() < 2 || path.front() != '/' || path.back() == '/' ||
        path.find('\0') != std::string_view::npos)
        return false;
    std::size_t at = 1;
    while (at <= path.size()) {
        const auto end = std::min(path.find('/', at), path.size());
        const auto part = path.substr(at, end - at);
        if (part.empty() || part == "." || part == "..")
            return false;
        at = end + 1;
    }
    return true;
}

std::string parentOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// `path` made absolute against `folder` and its "." and ".." taken lexically; empty when it
// climbs above the root.
std::string normalise(const std::string& folder, const std::string& path) {
    std::vector<std::string> parts;
    const std::string whole = path.front() == '/' ? path : folder + "/" + path;
    std::size_t at = 0;
    while (at <= whole.size()) {
        const auto end = std::min(whole.find('/', at), whole.size());
        const std::string part = whole.substr(at, end - at);
        if (part == "..") {
            if (parts.empty())
                return {};
            parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = end + 1;
    }
    std::string out;
    for (const auto& p : parts)
        out += "/" + p;
    return out.empty() ? "/" : out;
}

// The Conffiles field's paths, those dpkg still treats as conffiles.
std::set<std::string> conffilesOf(std::string_view stanza) {
    std::set<std::string> out;
    bool in = false;
    for (const auto line : lines(stanza)) {
        if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
            if (!in)
                continue;
            std::vector<std::string_view> words;
            std::string_view rest = posix::trim(line);
            while (!rest.empty()) {
                const auto space = rest.find(' ');
                words.push_back(rest.substr(0, space));
                rest = space == std::string_view::npos ? std::string_view{}
                                                       : posix::trim(rest.substr(space + 1));
            }
            if (words.size() == 2)
                out.emplace(words[0]);
            continue;
        }
        in = line.substr(0, 10) == "Conffiles:";
    }
    return out;
}

// The stanza as a control file: what belongs to the installed state left out.
std::string controlOf(std::string_view stanza) {
    std::string out;
    bool skip = false;
    for (const auto line : lines(stanza)) {
        if (line.empty())
            break;
        if (line.front() == ' ' || line.front() == '\t') {
            if (!skip)
                out.append(line).append("\n");
            continue;
        }
        const auto field = line.substr(0, line.find(':'));
        skip = field == "Status" || field == "Config-Version" || field == "Conffiles";
        if (!skip)
            out.append(line).append("\n");
    }
    return out;
}

// Another package's diversions: where a file of this one really is.
std::map<std::string, std::string> diversionsOf(std::string_view text, std::string_view package) {
    std::map<std::string, std::string> out;
    const auto all = lines(text);
    for (std::size_t i = 0; i + 2 < all.size(); i += 3)
        if (all[i + 2] != package)
            out.emplace(all[i], all[i + 1]);
    return out;
}

bool writeNew(int dir, const char* name, std::string_view text, mode_t mode) {
    Fd f(::openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    return f.valid() && posix::writeAll(f.get(), text) == 0 && ::fchmod(f.get(), mode) == 0;
}

// A copy of a file another file system holds: shared blocks where it can, else its bytes.
bool copyFile(int fromDir, const std::string& from, const struct stat& st, int toDir,
              const std::string& to) {
    Fd in(::openat(fromDir, from.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat now {};
    if (!in.valid() || ::fstat(in.get(), &now) != 0 || now.st_ino != st.st_ino ||
        now.st_dev != st.st_dev)
        return false;
    Fd out(::openat(toDir, to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid())
        return false;
    if (::ioctl(out.get(), FICLONE, in.get()) != 0) {
        off_t left = now.st_size;
        while (left > 0) {
            const ssize_t n = ::copy_file_range(in.get(), nullptr, out.get(), nullptr,
                                                static_cast<std::size_t>(left), 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            left -= n;
        }
        if (left != 0) {
            // Some file systems take no copy_file_range(): the plain way.
            if (::lseek(in.get(), 0, SEEK_SET) != 0 || ::ftruncate(out.get(), 0) != 0 ||
                ::lseek(out.get(), 0, SEEK_SET) != 0)
                return false;
            char buffer[1 << 16];
            while (true) {
                const ssize_t n = ::read(in.get(), buffer, sizeof buffer);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0)
                    return false;
                if (n == 0)
                    break;
                if (posix::writeAll(out.get(), {buffer, static_cast<std::size_t>(n)}) != 0)
                    return false;
            }
        }
    }
    return ::fchown(out.get(), now.st_uid, now.st_gid) == 0 &&
           ::fchmod(out.get(), now.st_mode & 07777) == 0;
}

class Stager {
public:
    Stager(int systemRoot, int tree) : m_tree(tree) { m_system["/"] = Fd(::dup(systemRoot)); }

    // The system's folder at `path`, links followed only when root owns them, and only into
    // folders no one else can write; -1 when it is not there or not to be trusted.
    int systemFolder(const std::string& path, int depth = 0) {
        if (const auto it = m_system.find(path); it != m_system.end())
            return it->second.get();
        if (depth > kMaxLinks)
            return -1;
        const int parent = systemFolder(parentOf(path), depth);
        if (parent < 0)
            return -1;
        const std::string name = baseOf(path);
        struct stat st {};
        if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return -1;
        if (S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t n = ::readlinkat(parent, name.c_str(), target, sizeof target);
            if (st.st_uid != 0 || n <= 0 || static_cast<std::size_t>(n) >= sizeof target)
                return -1;
            const std::string resolved =
                normalise(parentOf(path), std::string(target, static_cast<std::size_t>(n)));
            if (resolved.empty())
                return -1;
            const int fd = systemFolder(resolved, depth + 1);
            if (fd >= 0)
                m_system[path] = Fd(::dup(fd));
            return fd;
        }
        Fd dir(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!dir.valid() || ::fstat(dir.get(), &st) != 0 || st.st_uid != 0 ||
            (st.st_mode & (S_IWGRP | S_IWOTH)))
            return -1;
        const int fd = dir.get();
        m_system[path] = std::move(dir);
        return fd;
    }

    // The staging tree's folder at `path`, made when missing.
    int treeFolder(const std::string& path) {
        if (path == "/")
            return m_tree;
        if (const auto it = m_treeDirs.find(path); it != m_treeDirs.end())
            return it->second.get();
        const int parent = treeFolder(parentOf(path));
        if (parent < 0)
            return -1;
        const std::string name = baseOf(path);
        if (::mkdirat(parent, name.c_str(), 0755) != 0 && errno != EEXIST)
            return -1;
        Fd dir(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!dir.valid())
            return -1;
        const int fd = dir.get();
        m_treeDirs[path] = std::move(dir);
        return fd;
    }

private:
    int m_tree;
    std::map<std::string, Fd> m_system;
    std::map<std::string, Fd> m_treeDirs;
};

Fd openFolder(int parent, const char* name) {
    return Fd(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// `path` below `dir`, no link followed on the way or at its end.
Fd openBeneath(int dir, const std::string& path, int flags) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags | O_NOFOLLOW | O_CLOEXEC);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    long fd;
    do
        fd = ::syscall(SYS_openat2, dir, path.c_str(), &how, sizeof how);
    while (fd < 0 && errno == EINTR);
    return Fd(static_cast<int>(fd));
}

} // namespace

std::string stagedName(std::string_view poolFile) {
    std::string out(
        poolFile.substr(0, poolFile.size() - std::min<std::size_t>(4, poolFile.size())));
    return out + std::string(kStagedSuffix);
}

std::string poolFileOfStaged(std::string_view folder) {
    if (folder.size() <= kStagedSuffix.size() || folder.front() == '.' ||
        folder.substr(folder.size() - kStagedSuffix.size()) != kStagedSuffix)
        return {};
    return std::string(folder.substr(0, folder.size() - kStagedSuffix.size())) + ".deb";
}

void removePoolFolder(int parent, const char* name) {
    if (Fd dir = openFolder(parent, name); dir.valid())
        for (const auto& n : posix::namesIn(dir.get()))
            if (::unlinkat(dir.get(), n.c_str(), 0) != 0 && errno == EISDIR)
                removePoolFolder(dir.get(), n.c_str());
    ::unlinkat(parent, name, AT_REMOVEDIR);
}

StageResult stagePackage(int pool, const std::string& poolFile, const StagedPackage& package,
                         const StageSources& sources) {
    StageResult result;
    auto fail = [&](std::string why) {
        result.staged = false;
        result.why = std::move(why);
        return result;
    };
    Fd info(::open(sources.dpkgInfo.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!info.valid() || ::fstat(info.get(), &st) != 0 || st.st_uid != 0 ||
        (st.st_mode & (S_IWGRP | S_IWOTH)))
        return fail("no-package-data");
    // Packages of more than one architecture name their files NAME:ARCH.
    std::string prefix = package.name + ":" + package.arch + ".";
    auto list = posix::readFile(info.get(), prefix + "list", kMaxListFile,
                                posix::kNoFollow | posix::kRootOwned);
    if (list.failure == posix::ReadFailure::Missing) {
        prefix = package.name + ".";
        list = posix::readFile(info.get(), prefix + "list", kMaxListFile,
                               posix::kNoFollow | posix::kRootOwned);
    }
    if (!list.ok())
        return fail("no-file-list");
    Fd systemRoot(::open(sources.root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!systemRoot.valid())
        return fail("no-root");
    const auto diverted = [&] {
        const auto d = posix::readFile(AT_FDCWD, sources.diversions, kMaxDiversions,
                                       posix::kNoFollow | posix::kRootOwned);
        return diversionsOf(d.ok() ? std::string_view(d.text) : std::string_view{}, package.name);
    }();

    const std::string folder = stagedName(poolFile);
    const std::string temp = ".stage-" + folder;
    removePoolFolder(pool, temp.c_str());
    if (::mkdirat(pool, temp.c_str(), 0700) != 0)
        return fail("stage-failed");
    Fd staging = openFolder(pool, temp.c_str());
    Fd tree;
    if (!staging.valid() || ::mkdirat(staging.get(), kStagedTree, 0755) != 0 ||
        !(tree = openFolder(staging.get(), kStagedTree)).valid()) {
        removePoolFolder(pool, temp.c_str());
        return fail("stage-failed");
    }
    auto undo = [&](std::string why) {
        staging.reset();
        tree.reset();
        removePoolFolder(pool, temp.c_str());
        return fail(std::move(why));
    };

    std::vector<std::string> paths;
    std::set<std::string> folders;
    for (const auto line : lines(list.text)) {
        if (line == "/." || line.empty())
            continue;
        if (!cleanPath(line))
            return undo("odd-path");
        paths.emplace_back(line);
        for (std::string p = parentOf(std::string(line)); p != "/"; p = parentOf(p))
            if (!folders.insert(p).second)
                break;
    }
    const auto conffiles = conffilesOf(package.stanza);
    Stager stager(systemRoot.get(), tree.get());
    std::string staged;
    std::set<std::string> dropped;
    for (const auto& path : paths) {
        const auto d = diverted.find(path);
        const std::string real = d == diverted.end() ? path : d->second;
        if (!cleanPath(real))
            return undo("odd-path");
        const int from = stager.systemFolder(parentOf(real));
        const std::string name = baseOf(real);
        if (from < 0)
            return undo("untrusted-folder");
        if (::fstatat(from, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            // A conffile the administrator deleted stays deleted.
            if (errno == ENOENT && conffiles.count(path)) {
                dropped.insert(path);
                continue;
            }
            return undo("file-missing");
        }
        // A folder of the package that the system has as a link (/lib on a merged /usr): dpkg
        // goes through it, and so does the package's folder here.
        if (S_ISLNK(st.st_mode) && folders.count(path)) {
            const int through = stager.systemFolder(path);
            if (through < 0 || ::fstat(through, &st) != 0)
                return undo("untrusted-folder");
        }
        const int to = stager.treeFolder(parentOf(path));
        const std::string leaf = baseOf(path);
        if (to < 0)
            return undo("stage-failed");
        if (S_ISDIR(st.st_mode)) {
            const int made = stager.treeFolder(path);
            if (made < 0 || ::fchown(made, st.st_uid, st.st_gid) != 0 ||
                ::fchmod(made, st.st_mode & 07777) != 0)
                return undo("stage-failed");
        } else if (S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t n = ::readlinkat(from, name.c_str(), target, sizeof target);
            if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target)
                return undo("stage-failed");
            if (::symlinkat(std::string(target, static_cast<std::size_t>(n)).c_str(), to,
                            leaf.c_str()) != 0 ||
                ::fchownat(to, leaf.c_str(), st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW) != 0)
                return undo("stage-failed");
        } else if (S_ISREG(st.st_mode)) {
            if (::linkat(from, name.c_str(), to, leaf.c_str(), 0) != 0) {
                if ((errno != EXDEV && errno != EMLINK) || !copyFile(from, name, st, to, leaf))
                    return undo("stage-failed");
                result.copied += static_cast<std::uint64_t>(st.st_size);
            }
            result.bytes += static_cast<std::uint64_t>(st.st_blocks) * 512;
        } else {
            return undo("special-file");
        }
        staged += path + "\n";
    }

    // DEBIAN/: the control data as the package had it.
    if (::mkdirat(tree.get(), "DEBIAN", 0755) != 0)
        return undo("stage-failed");
    Fd control = openFolder(tree.get(), "DEBIAN");
    if (!control.valid() || !writeNew(control.get(), "control", controlOf(package.stanza), 0644))
        return undo("stage-failed");
    std::string conffileList;
    for (const auto& c : conffiles)
        if (!dropped.count(c))
            conffileList += c + "\n";
    if (!conffileList.empty() && !writeNew(control.get(), "conffiles", conffileList, 0644))
        return undo("stage-failed");
    for (const char* script : kScripts) {
        const auto text = posix::readFile(info.get(), prefix + script, kMaxInfoFile,
                                          posix::kNoFollow | posix::kRootOwned);
        if (text.ok() && !writeNew(control.get(), script, text.text, 0755))
            return undo("stage-failed");
    }
    for (const char* file : kControlFiles) {
        const auto text = posix::readFile(info.get(), prefix + file, kMaxInfoFile,
                                          posix::kNoFollow | posix::kRootOwned);
        // Without its md5sums nothing could check the files later.
        if (!text.ok() && std::string_view(file) == "md5sums")
            return undo("no-md5sums");
        if (text.ok() && !writeNew(control.get(), file, text.text, 0644))
            return undo("stage-failed");
    }
    // Last, so that a folder without them was never finished.
    if (!writeNew(staging.get(), kListCopy, staged, 0600) ||
        !writeNew(staging.get(), kStagedMarker,
                  package.name + "\t" + package.version + "\t" + package.arch + "\n", 0600))
        return undo("stage-failed");
    removePoolFolder(pool, folder.c_str());
    if (::renameat(pool, temp.c_str(), pool, folder.c_str()) != 0)
        return undo("stage-failed");
    result.staged = true;
    return result;
}

StagedCheck checkStaged(int pool, const std::string& folder) {
    StagedCheck out;
    Fd staging = openFolder(pool, folder.c_str());
    Fd tree;
    if (!staging.valid() || !(tree = openFolder(staging.get(), kStagedTree)).valid()) {
        out.why = "not-staged";
        return out;
    }
    const auto marker = posix::readFile(staging.get(), kStagedMarker, 4096);
    const auto list = posix::readFile(staging.get(), kListCopy, kMaxListFile);
    const auto fields = marker.ok() ? lines(marker.text) : std::vector<std::string_view>{};
    std::vector<std::string_view> parts;
    if (!fields.empty()) {
        std::string_view rest = fields[0];
        while (true) {
            const auto tab = rest.find('\t');
            parts.push_back(rest.substr(0, tab));
            if (tab == std::string_view::npos)
                break;
            rest.remove_prefix(tab + 1);
        }
    }
    if (!list.ok() || parts.size() != 3) {
        out.why = "staging-incomplete";
        return out;
    }
    out.package = {std::string(parts[0]), std::string(parts[1]), std::string(parts[2]), {}};
    for (const auto line : lines(list.text)) {
        if (!cleanPath(line) ||
            !openBeneath(tree.get(), std::string(line.substr(1)), O_PATH).valid()) {
            out.why = "staging-incomplete";
            return out;
        }
    }
    // A conffile is the administrator's to change; dpkg's own md5sums may still name it.
    const auto conffileList = posix::readFile(tree.get(), "DEBIAN/conffiles", kMaxInfoFile);
    std::set<std::string_view> conffiles;
    for (const auto line :
         lines(conffileList.ok() ? std::string_view(conffileList.text) : std::string_view{}))
        if (!line.empty())
            conffiles.insert(line.substr(1));
    const auto sums = posix::readFile(tree.get(), "DEBIAN/md5sums", kMaxInfoFile);
    for (const auto line : lines(sums.ok() ? std::string_view(sums.text) : std::string_view{})) {
        // "HASH  path", the path relative to the root.
        if (line.size() < 35 || line.substr(32, 2) != "  ") {
            out.why = "bad-md5sums";
            return out;
        }
        const std::string path(line.substr(34));
        if (!cleanPath("/" + path)) {
            out.why = "bad-md5sums";
            return out;
        }
        if (conffiles.count(line.substr(34)))
            continue;
        Fd file = openBeneath(tree.get(), path, O_RDONLY | O_NONBLOCK);
        struct stat st {};
        if (!file.valid() || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
            md5OfFile(file.get()) != line.substr(0, 32)) {
            out.why = "changed-in-place";
            return out;
        }
    }
    out.ok = true;
    return out;
}

} // namespace vigilorn::sys

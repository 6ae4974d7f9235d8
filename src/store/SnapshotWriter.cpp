#include "SnapshotWriter.h"
#include "Deb822.h"
#include "FolderEntries.h"
#include "OwnerManifest.h"
#include "platform/posix/Fd.h"
#include "platform/posix/Files.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace vigilorn::store {

namespace {

namespace fs = std::filesystem;
using posix::Fd;

constexpr const char* kCacheMagic = "vigilorn-stat-cache 1\n";
constexpr const char* kCacheEnd = "end\n";
// The status file of a machine with every Debian package installed is far below this.
constexpr std::int64_t kMaxStatusSize = 512 * 1024 * 1024;
// A compressed object of the store: no file larger than kMaxFileSize is kept.
constexpr std::int64_t kMaxObjectFile = 2 * kMaxStatusSize;

PlatformError gitFailure(const std::string& what) {
    return gitError(what);
}

FileStamp stampOf(const struct stat& st) {
    FileStamp s;
    s.dev = st.st_dev;
    s.ino = st.st_ino;
    s.size = static_cast<std::uint64_t>(st.st_size);
    s.mtimeSec = st.st_mtim.tv_sec;
    s.mtimeNsec = st.st_mtim.tv_nsec;
    s.ctimeSec = st.st_ctim.tv_sec;
    s.ctimeNsec = st.st_ctim.tv_nsec;
    s.mode = st.st_mode;
    return s;
}

enum class Read { Ok, Unreadable, Vanished, Changed, TooLarge, Special };

const char* reasonText(Read r) {
    switch (r) {
    case Read::Unreadable:
        return "unreadable";
    case Read::Vanished:
        return "vanished";
    case Read::Changed:
        return "changed";
    case Read::TooLarge:
        return "too-large";
    case Read::Special:
        return "special";
    case Read::Ok:
        break;
    }
    return "unreadable";
}

Read fromErrno(int err) {
    return err == ENOENT ? Read::Vanished : err == ELOOP ? Read::Changed : Read::Unreadable;
}

// Reads a regular file whole; a file that changes while it is read is refused rather than
// stored half old and half new.
Read readRegular(int dirfd, const char* name, std::int64_t limit, std::string& data,
                 FileStamp& stamp) {
    Fd f(::openat(dirfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!f.valid())
        return fromErrno(errno);
    struct stat before {};
    if (::fstat(f.get(), &before) != 0)
        return Read::Unreadable;
    if (!S_ISREG(before.st_mode))
        return Read::Changed; // replaced by something else since it was listed
    if (before.st_size > limit)
        return Read::TooLarge;
    const auto size = static_cast<std::size_t>(before.st_size);
    data.resize(size + 1);
    std::size_t got = 0;
    while (got < data.size()) {
        const ssize_t n = ::read(f.get(), data.data() + got, data.size() - got);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return Read::Unreadable;
        }
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    if (got != size)
        return Read::Changed;
    data.resize(size);
    struct stat after {};
    if (::fstat(f.get(), &after) != 0)
        return Read::Unreadable;
    stamp = stampOf(after);
    if (stampOf(before) != stamp)
        return Read::Changed;
    return Read::Ok;
}

std::optional<std::string> readLink(int dirfd, const char* name, const struct stat& st) {
    std::string target(static_cast<std::size_t>(st.st_size) + 1, '\0');
    const ssize_t n = ::readlinkat(dirfd, name, target.data(), target.size());
    // A longer target than lstat said means it was replaced meanwhile.
    if (n < 0 || static_cast<std::size_t>(n) >= target.size())
        return std::nullopt;
    target.resize(static_cast<std::size_t>(n));
    return target;
}

// Whether `data`, a loose object's file, inflates to the whole object `id`. libgit2 spins
// forever on a zlib stream cut short, so this reads it without libgit2.
bool wholeObject(const std::string& data, const git_oid& id) {
    z_stream z{};
    if (data.size() > UINT_MAX || inflateInit(&z) != Z_OK)
        return false;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    std::string out;
    char buffer[65536];
    int rc = Z_OK;
    while (rc == Z_OK) {
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof buffer;
        rc = inflate(&z, Z_NO_FLUSH);
        if (rc == Z_OK || rc == Z_STREAM_END)
            out.append(buffer, sizeof buffer - z.avail_out);
    }
    inflateEnd(&z);
    if (rc != Z_STREAM_END)
        return false;
    // "<type> <size>\0<body>"
    const auto nul = out.find('\0');
    const auto space = out.find(' ');
    if (nul == std::string::npos || space == std::string::npos || space > nul)
        return false;
    const git_object_t type = git_object_string2type(out.substr(0, space).c_str());
    const std::string size = out.substr(space + 1, nul - space - 1);
    if (type == GIT_OBJECT_INVALID || size.empty() ||
        size.find_first_not_of("0123456789") != std::string::npos ||
        size != std::to_string(out.size() - nul - 1))
        return false;
    git_oid computed;
    return git_odb_hash(&computed, out.data() + nul + 1, out.size() - nul - 1, type) == 0 &&
           git_oid_equal(&computed, &id);
}

class Writer {
public:
    Writer(git_repository* repo, git_odb* odb, const StatCache& previous, bool trust,
           StatCache& next, std::vector<LeftOut>& leftOut)
        : m_repo(repo), m_odb(odb), m_previous(previous), m_trust(trust), m_next(next),
          m_leftOut(leftOut) {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        m_racyFrom = now.tv_sec - 1;
    }

    void exclude(const std::string& folder) {
        std::error_code ec;
        const fs::path p = fs::weakly_canonical(fs::absolute(folder), ec);
        if (!ec)
            m_excluded.push_back(p.string());
    }

    Failure failure;

    bool blob(const void* data, std::size_t size, git_oid& id) {
        if (git_odb_hash(&id, data, size, GIT_OBJECT_BLOB) < 0) {
            failure = gitFailure("Could not record a file");
            return false;
        }
        if (git_odb_exists(m_odb, &id)) {
            if (sound(id))
                return true;
            setAsideDamaged(m_repo, id);
        }
        if (git_odb_write(&id, m_odb, data, size, GIT_OBJECT_BLOB) < 0) {
            failure = gitFailure("Could not record a file");
            return false;
        }
        return true;
    }

    // A blob of a file, through the cache. `limit` bounds its size.
    Read cachedFile(int dirfd, const char* name, const std::string& abs, const struct stat& st,
                    std::int64_t limit, git_oid& id,
                    const std::function<std::string(std::string&&)>& transform = {}) {
        const FileStamp seen = stampOf(st);
        if (const auto* e = m_previous.find(abs, seen); e && (m_trust || sound(e->id))) {
            id = e->id;
            remember(abs, seen, id);
            return Read::Ok;
        }
        std::string data;
        FileStamp stamp;
        const Read r = readRegular(dirfd, name, limit, data, stamp);
        if (r != Read::Ok)
            return r;
        if (transform)
            data = transform(std::move(data));
        if (!blob(data.data(), data.size(), id))
            return Read::Ok; // failure is set: the caller stops
        remember(abs, stamp, id);
        return Read::Ok;
    }

    // The tree of a folder, empty when nothing in it could be kept. False on failure.
    bool folder(int dirfd, const std::string& abs, const std::string& treePath, int depth,
                std::optional<git_oid>& out) {
        out.reset();
        git_treebuilder* raw = nullptr;
        if (git_treebuilder_new(&raw, m_repo, nullptr) < 0) {
            failure = gitFailure("Could not record a folder");
            return false;
        }
        std::unique_ptr<git_treebuilder, void (*)(git_treebuilder*)> builder(raw,
                                                                             git_treebuilder_free);
        for (const std::string& name : namesIn(dirfd)) {
            if (isDotGit(name))
                continue; // git can't hold it; a nested repository keeps its other files
            const std::string childAbs = abs + "/" + name;
            const std::string childTree = treePath + "/" + name;
            struct stat st {};
            if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                leave(fromErrno(errno), childTree);
                continue;
            }
            // Something mounted below belongs to its own file system, not to this part.
            if (const auto mount = m_mount ? posix::mountOf(dirfd, name.c_str()) : std::nullopt;
                mount && *mount != *m_mount) {
                m_leftOut.push_back({"other-file-system", childTree});
                continue;
            }
            if (m_owners && !(S_ISDIR(st.st_mode) && isExcluded(childAbs)))
                owner(st, childTree);
            git_oid id;
            git_filemode_t mode;
            if (S_ISDIR(st.st_mode)) {
                if (isExcluded(childAbs))
                    continue;
                if (depth + 1 > kMaxDepth) {
                    m_leftOut.push_back({"too-deep", childTree});
                    continue;
                }
                Fd child(
                    ::openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
                if (!child.valid()) {
                    leave(fromErrno(errno), childTree);
                    continue;
                }
                std::optional<git_oid> sub;
                if (!folder(child.get(), childAbs, childTree, depth + 1, sub))
                    return false;
                if (!sub)
                    continue;
                id = *sub;
                mode = GIT_FILEMODE_TREE;
            } else if (S_ISLNK(st.st_mode)) {
                const auto target = readLink(dirfd, name.c_str(), st);
                if (!target) {
                    leave(errno == ENOENT ? Read::Vanished : Read::Changed, childTree);
                    continue;
                }
                if (!blob(target->data(), target->size(), id))
                    return false;
                mode = GIT_FILEMODE_LINK;
            } else if (S_ISREG(st.st_mode)) {
                if (st.st_size > kMaxFileSize) {
                    leave(Read::TooLarge, childTree);
                    continue;
                }
                const Read r = cachedFile(dirfd, name.c_str(), childAbs, st, kMaxFileSize, id);
                if (failure)
                    return false;
                if (r != Read::Ok) {
                    leave(r, childTree);
                    continue;
                }
                mode = (st.st_mode & S_IXUSR) ? GIT_FILEMODE_BLOB_EXECUTABLE : GIT_FILEMODE_BLOB;
            } else {
                leave(Read::Special, childTree);
                continue;
            }
            if (git_treebuilder_insert(nullptr, builder.get(), name.c_str(), &id, mode) < 0) {
                // A name git refuses to hold; nothing of it could be stored.
                leave(Read::Special, childTree);
            }
        }
        if (git_treebuilder_entrycount(builder.get()) == 0)
            return true;
        git_oid id;
        if (!tree(builder.get(), id)) {
            failure = gitFailure("Could not record a folder");
            return false;
        }
        out = id;
        return true;
    }

    // git writes nothing when the tree exists already: one cut short is set aside first.
    bool tree(git_treebuilder* builder, git_oid& id) {
        if (git_treebuilder_write(&id, builder) < 0)
            return false;
        if (sound(id))
            return true;
        setAsideDamaged(m_repo, id);
        return git_treebuilder_write(&id, builder) == 0;
    }

    // A captured top folder; a missing or unreadable one is recorded under its own name.
    bool part(const std::string& path, const std::string& treePath, std::optional<git_oid>& out) {
        out.reset();
        std::error_code ec;
        const fs::path canonical = fs::canonical(path, ec);
        if (ec) {
            leave(fromErrno(ec.value()), treePath);
            return true;
        }
        Fd dir(::open(canonical.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dir.valid()) {
            leave(fromErrno(errno), treePath);
            return true;
        }
        struct stat st {};
        if (::fstat(dir.get(), &st) != 0) {
            leave(fromErrno(errno), treePath);
            return true;
        }
        m_mount = posix::mountOf(dir.get(), "");
        if (m_owners)
            owner(st, treePath);
        return folder(dir.get(), canonical.string(), treePath, 0, out);
    }

    // Owners are noted where each entry is looked at anyway, not by a second walk.
    void noteOwners(std::vector<OwnerEntry>* owners) { m_owners = owners; }

    void leave(Read r, const std::string& path) { m_leftOut.push_back({reasonText(r), path}); }

private:
    // After a power cut an object written without fsync can exist and yet be cut short. One
    // that isn't loose is packed, and packs are never written here.
    bool sound(const git_oid& id) {
        char hex[GIT_OID_HEXSZ + 1];
        git_oid_tostr(hex, sizeof hex, &id);
        const std::string file = std::string(git_repository_path(m_repo)) + "objects/" +
                                 std::string(hex, 2) + "/" + (hex + 2);
        std::string data;
        FileStamp stamp;
        const Read r = readRegular(AT_FDCWD, file.c_str(), kMaxObjectFile, data, stamp);
        if (r == Read::Vanished)
            return git_odb_exists(m_odb, &id) == 1;
        if (r == Read::Ok && wholeObject(data, id))
            return true;
        git_error_set_str(GIT_ERROR_ODB, "the object's file is cut short or damaged");
        return false;
    }

    void owner(const struct stat& st, const std::string& treePath) {
        m_owners->push_back({st.st_mode, st.st_uid, st.st_gid, treePath});
    }

    void remember(const std::string& abs, const FileStamp& s, const git_oid& id) {
        // Changed within the last second, a later change could keep the same time stamps.
        if (std::max(s.mtimeSec, s.ctimeSec) < m_racyFrom)
            m_next.put(abs, s, id);
    }

    bool isExcluded(const std::string& abs) const {
        return std::find(m_excluded.begin(), m_excluded.end(), abs) != m_excluded.end();
    }

    git_repository* m_repo;
    git_odb* m_odb;
    const StatCache& m_previous;
    bool m_trust;
    StatCache& m_next;
    std::vector<LeftOut>& m_leftOut;
    std::optional<std::uint64_t> m_mount; // the part's own file system
    std::vector<std::string> m_excluded;
    std::vector<OwnerEntry>* m_owners = nullptr;
    std::int64_t m_racyFrom = 0;
};

// `kind/id/arch/branch\tcommit\n` per deployed ref of one Flatpak installation, sorted.
std::string flatpakList(const std::string& installation) {
    std::vector<std::string> lines;
    auto visible = [](const fs::directory_entry& e) {
        const std::string n = e.path().filename().string();
        std::error_code ec;
        return !n.empty() && n[0] != '.' && e.is_directory(ec);
    };
    for (const char* kind : {"app", "runtime"}) {
        std::error_code ec;
        for (const auto& id : fs::directory_iterator(installation + "/" + kind, ec)) {
            if (!visible(id))
                continue;
            std::error_code ec2;
            for (const auto& arch : fs::directory_iterator(id.path(), ec2)) {
                if (!visible(arch))
                    continue;
                std::error_code ec3;
                for (const auto& branch : fs::directory_iterator(arch.path(), ec3)) {
                    if (!visible(branch))
                        continue;
                    std::error_code ec4;
                    const fs::path active = fs::read_symlink(branch.path() / "active", ec4);
                    if (ec4)
                        continue; // not deployed
                    lines.push_back(std::string(kind) + "/" + id.path().filename().string() + "/" +
                                    arch.path().filename().string() + "/" +
                                    branch.path().filename().string() + "\t" + active.string() +
                                    "\n");
                }
            }
        }
    }
    std::sort(lines.begin(), lines.end());
    std::string text;
    for (const auto& l : lines)
        text += l;
    return text;
}

void appendHex(std::string& out, const git_oid& id) {
    char hex[GIT_OID_HEXSZ + 1];
    git_oid_tostr(hex, sizeof hex, &id);
    out += hex;
}

} // namespace

std::string dpkgPackageList(std::string_view status) {
    struct Row {
        std::string name, arch, version, state;
    };
    std::vector<Row> rows;
    debian::forEachStanza(status, [&](const debian::Stanza& s) {
        rows.push_back({std::string(s["Package"]), std::string(s["Architecture"]),
                        std::string(s["Version"]), std::string(s["Status"])});
    });
    std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
        return a.name != b.name ? a.name < b.name : a.arch < b.arch;
    });
    std::string text;
    for (const auto& r : rows)
        text += r.name + "\t" + r.arch + "\t" + r.version + "\t" + r.state + "\n";
    return text;
}

void StatCache::load(const std::string& path) {
    m_entries.clear();
    haveTree = false;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return;
    std::string text;
    char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        text.append(buffer, n);
    std::fclose(f);
    const std::string_view magic(kCacheMagic), end(kCacheEnd);
    if (text.size() < magic.size() + end.size() + GIT_OID_HEXSZ + 1 ||
        std::string_view(text).substr(0, magic.size()) != magic ||
        std::string_view(text).substr(text.size() - end.size()) != end)
        return;
    std::size_t at = magic.size();
    if (git_oid_fromstrn(&tree, text.data() + at, GIT_OID_HEXSZ) < 0 ||
        text[at + GIT_OID_HEXSZ] != '\n')
        return;
    at += GIT_OID_HEXSZ + 1;
    const std::size_t stop = text.size() - end.size();
    // Each entry: nine numbers and an id, space-separated, then the path and a NUL.
    while (at < stop) {
        Entry e;
        unsigned long long v[9];
        int used = 0;
        char hex[GIT_OID_HEXSZ + 1] = {};
        if (std::sscanf(text.c_str() + at, "%llu %llu %llu %llu %llu %llu %llu %llu %llu %40s %n",
                        &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], hex,
                        &used) != 10 ||
            git_oid_fromstrn(&e.id, hex, GIT_OID_HEXSZ) < 0) {
            m_entries.clear();
            return;
        }
        at += static_cast<std::size_t>(used);
        const auto nul = text.find('\0', at);
        if (nul == std::string::npos || nul >= stop) {
            m_entries.clear();
            return;
        }
        e.stamp = {v[0],
                   v[1],
                   v[2],
                   static_cast<std::int64_t>(v[3]),
                   static_cast<std::int64_t>(v[4]),
                   static_cast<std::int64_t>(v[5]),
                   static_cast<std::int64_t>(v[6]),
                   static_cast<std::uint32_t>(v[7])};
        (void)v[8];
        m_entries.emplace(text.substr(at, nul - at), e);
        at = nul + 1;
    }
    haveTree = true;
}

Failure StatCache::save(const std::string& path) const {
    std::string text = kCacheMagic;
    appendHex(text, tree);
    text += '\n';
    char numbers[256];
    for (const auto& [p, e] : m_entries) {
        const FileStamp& s = e.stamp;
        std::snprintf(numbers, sizeof numbers, "%llu %llu %llu %lld %lld %lld %lld %lu 0 ",
                      static_cast<unsigned long long>(s.dev),
                      static_cast<unsigned long long>(s.ino),
                      static_cast<unsigned long long>(s.size), static_cast<long long>(s.mtimeSec),
                      static_cast<long long>(s.mtimeNsec), static_cast<long long>(s.ctimeSec),
                      static_cast<long long>(s.ctimeNsec), static_cast<unsigned long>(s.mode));
        text += numbers;
        appendHex(text, e.id);
        text += ' ';
        text += p;
        text += '\0';
    }
    text += kCacheEnd;
    const std::string temp = path + ".new";
    std::FILE* f = std::fopen(temp.c_str(), "wb");
    if (!f)
        return errorFromErrno(errno);
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    const int err = errno;
    if (std::fclose(f) != 0 || !ok) {
        ::unlink(temp.c_str());
        return errorFromErrno(ok ? errno : err);
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0)
        return errorFromErrno(errno);
    return std::nullopt;
}

const StatCache::Entry* StatCache::find(const std::string& path, const FileStamp& stamp) const {
    const auto it = m_entries.find(path);
    return it != m_entries.end() && it->second.stamp == stamp ? &it->second : nullptr;
}

void StatCache::put(const std::string& path, const FileStamp& stamp, const git_oid& id) {
    m_entries[path] = {stamp, id};
}

Failure writeSnapshot(git_repository* repo, const Sources& sources, const StatCache& previous,
                      bool trustPrevious, StatCache& next, Snapshot& out) {
    git_odb* rawOdb = nullptr;
    if (git_repository_odb(&rawOdb, repo) < 0)
        return gitFailure("Could not open the store's objects");
    std::unique_ptr<git_odb, void (*)(git_odb*)> odb(rawOdb, git_odb_free);
    out.leftOut.clear();
    Writer w(repo, odb.get(), previous, trustPrevious, next, out.leftOut);
    for (const auto& ex : sources.excluded)
        w.exclude(ex);

    git_treebuilder* rawRoot = nullptr;
    git_treebuilder* rawPackages = nullptr;
    if (git_treebuilder_new(&rawRoot, repo, nullptr) < 0 ||
        git_treebuilder_new(&rawPackages, repo, nullptr) < 0) {
        git_treebuilder_free(rawRoot);
        return gitFailure("Could not record the restore point");
    }
    std::unique_ptr<git_treebuilder, void (*)(git_treebuilder*)> root(rawRoot,
                                                                      git_treebuilder_free);
    std::unique_ptr<git_treebuilder, void (*)(git_treebuilder*)> packages(rawPackages,
                                                                          git_treebuilder_free);
    auto insert = [&](git_treebuilder* b, const char* name, const git_oid& id,
                      git_filemode_t mode) -> Failure {
        if (git_treebuilder_insert(nullptr, b, name, &id, mode) < 0)
            return gitFailure("Could not record the restore point");
        return std::nullopt;
    };

    // packages/dpkg: the status file, reduced to what says which packages are installed.
    if (!sources.dpkgStatus.empty()) {
        git_oid id;
        struct stat st {};
        Read r = Read::Ok;
        if (::stat(sources.dpkgStatus.c_str(), &st) != 0) {
            if (errno != ENOENT)
                r = fromErrno(errno);
            else if (!w.blob("", 0, id))
                return w.failure;
        } else if (!S_ISREG(st.st_mode)) {
            r = Read::Special;
        } else {
            r = w.cachedFile(AT_FDCWD, sources.dpkgStatus.c_str(), sources.dpkgStatus, st,
                             kMaxStatusSize, id,
                             [](std::string&& text) { return dpkgPackageList(text); });
            if (w.failure)
                return w.failure;
        }
        if (r != Read::Ok)
            w.leave(r, "packages/dpkg");
        else if (auto f = insert(packages.get(), "dpkg", id, GIT_FILEMODE_BLOB))
            return f;
    }
    for (const auto& [folder, name] : {std::pair{sources.flatpakSystem, "flatpak-system"},
                                       std::pair{sources.flatpakUser, "flatpak-user"}}) {
        std::error_code ec;
        if (folder.empty() || !fs::is_directory(folder, ec))
            continue;
        const std::string text = flatpakList(folder);
        git_oid id;
        if (!w.blob(text.data(), text.size(), id))
            return w.failure;
        if (auto f = insert(packages.get(), name, id, GIT_FILEMODE_BLOB))
            return f;
    }
    if (git_treebuilder_entrycount(packages.get()) > 0) {
        git_oid id;
        if (!w.tree(packages.get(), id))
            return gitFailure("Could not record the package lists");
        if (auto f = insert(root.get(), "packages", id, GIT_FILEMODE_TREE))
            return f;
    }

    for (const auto& [folder, name] :
         {std::pair{sources.etc, "etc"}, std::pair{sources.config, "config"}}) {
        if (folder.empty())
            continue;
        std::optional<git_oid> id;
        std::vector<OwnerEntry> owners;
        const bool noteOwners = sources.etcOwners && std::string_view(name) == "etc";
        w.noteOwners(noteOwners ? &owners : nullptr);
        if (!w.part(folder, name, id))
            return w.failure;
        w.noteOwners(nullptr);
        if (id)
            if (auto f = insert(root.get(), name, *id, GIT_FILEMODE_TREE))
                return f;
        if (noteOwners) {
            const std::string manifest = ownerManifest(std::move(owners));
            git_oid manifestId;
            if (!w.blob(manifest.data(), manifest.size(), manifestId))
                return w.failure;
            if (auto f = insert(root.get(), "etc-owners.txt", manifestId, GIT_FILEMODE_BLOB))
                return f;
        }
    }

    std::sort(out.leftOut.begin(), out.leftOut.end(), [](const LeftOut& a, const LeftOut& b) {
        return a.path != b.path ? a.path < b.path : a.reason < b.reason;
    });
    std::string list;
    for (const auto& l : out.leftOut)
        list += leftOutLine(l);
    git_oid listId;
    if (!w.blob(list.data(), list.size(), listId))
        return w.failure;
    if (auto f = insert(root.get(), kLeftOutFile, listId, GIT_FILEMODE_BLOB))
        return f;
    for (const auto& [name, content] : sources.extraFiles) {
        // Top-level names only, and never one of the point's own parts.
        if (name.empty() || name == "." || name == ".." ||
            name.find_first_of(std::string_view("/\0", 2)) != std::string::npos ||
            git_treebuilder_get(root.get(), name.c_str()) != nullptr)
            return PlatformError{EINVAL, "A restore point can't hold a file named " + name};
        git_oid id;
        if (!w.blob(content.data(), content.size(), id))
            return w.failure;
        if (auto f = insert(root.get(), name.c_str(), id, GIT_FILEMODE_BLOB))
            return f;
    }
    if (!w.tree(root.get(), out.tree))
        return gitFailure("Could not record the restore point");
    next.tree = out.tree;
    next.haveTree = true;
    return std::nullopt;
}

} // namespace vigilorn::store

#include "BuiltinChanges.h"

#include "BuiltinStore.h"
#include "DebianPackages.h"
#include "FolderEntries.h"
#include "GitHandle.h"
#include "LeftOutList.h"
#include "StoreLock.h"
#include "platform/RestoreEngine.h"
#include "platform/posix/Fd.h"
#include "platform/posix/Files.h"

#include <git2.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace vigilorn {

namespace {

namespace fs = std::filesystem;
using posix::Fd;
using posix::writeAll;
using store::isDotGit;

PlatformError gitError(const std::string& what) {
    const git_error* e = git_error_last();
    const int klass = e ? e->klass : GIT_ERROR_NONE;
    return {BuiltinStore::kGitErrorBase + klass,
            what + ": " + (e && e->message ? e->message : "unknown error")};
}

PlatformError systemError(const std::string& what, int err) {
    return {err, what + ": " + std::strerror(err)};
}

// How long a reader waits for a creation, which holds the store while it prunes.
constexpr int kLockWaitSeconds = 30;

struct Point {
    std::string number;
    Git<git_repository> repo;
    Git<git_odb> odb;
    Git<git_tree> tree;
    bool newLayout = false;
};

struct Trailers {
    std::string number;
    std::string layout;
};

Trailers readTrailers(const char* message) {
    Trailers out;
    git_message_trailer_array array{};
    if (!message || git_message_trailers(&array, message) < 0)
        return out;
    for (std::size_t i = 0; i < array.count; ++i) {
        const std::string_view key(array.trailers[i].key);
        if (key == "Sequence-Number")
            out.number = array.trailers[i].value;
        else if (key == "Store-Layout")
            out.layout = array.trailers[i].value;
    }
    git_message_trailer_array_free(&array);
    return out;
}

Failure openPoint(const std::string& repository, const std::string& number, Point& out) {
    out.number = number;
    const PlatformError unknown{RestoreChanges::kUnknownPoint,
                                "There is no restore point P" + number + "."};
    git_repository* rawRepo = nullptr;
    if (const int rc = git_repository_open_bare(&rawRepo, repository.c_str()); rc < 0)
        // No store yet holds no point either.
        return rc == GIT_ENOTFOUND
                   ? unknown
                   : gitError("Could not open the restore point store " + repository);
    out.repo.reset(rawRepo);
    git_odb* rawOdb = nullptr;
    if (git_repository_odb(&rawOdb, out.repo.get()) < 0)
        return gitError("Could not open the restore point store " + repository);
    out.odb.reset(rawOdb);
    if (git_repository_head_unborn(out.repo.get()) != 0)
        return unknown;
    git_revwalk* rawWalk = nullptr;
    if (git_revwalk_new(&rawWalk, out.repo.get()) < 0)
        return gitError("Could not read the restore points");
    Git<git_revwalk> walk(rawWalk);
    if (git_revwalk_push_head(walk.get()) < 0)
        return gitError("Could not read the restore points");
    git_oid id;
    while (git_revwalk_next(&id, walk.get()) == 0) {
        git_commit* rawCommit = nullptr;
        if (git_commit_lookup(&rawCommit, out.repo.get(), &id) < 0)
            return gitError("Could not read a restore point");
        Git<git_commit> commit(rawCommit);
        const Trailers t = readTrailers(git_commit_message(commit.get()));
        if (t.number != number)
            continue;
        git_tree* rawTree = nullptr;
        if (git_commit_tree(&rawTree, commit.get()) < 0)
            return gitError("Could not read restore point P" + number);
        out.tree.reset(rawTree);
        out.newLayout = t.layout == "2";
        return std::nullopt;
    }
    return unknown;
}

struct Entry {
    git_oid id;
    git_filemode_t mode;
};
using Files = std::map<std::string, Entry>;

struct Area {
    Files files;
    std::set<std::string> folders;
    std::set<std::string> leftOut;
    bool present = false; // false: the point holds nothing of this folder
    std::string badName;  // a name no file of the folder can have
};

// One name of a folder: nothing that climbs out of it or names two levels at once.
bool isFileName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

Failure readBlob(const Point& p, const git_oid& id, std::string& out) {
    git_blob* raw = nullptr;
    if (git_blob_lookup(&raw, p.repo.get(), &id) < 0)
        return gitError("Could not read the restore point");
    Git<git_blob> blob(raw);
    out.assign(static_cast<const char*>(git_blob_rawcontent(blob.get())),
               static_cast<std::size_t>(git_blob_rawsize(blob.get())));
    return std::nullopt;
}

int visit(const char* root, const git_tree_entry* entry, void* payload) {
    auto* area = static_cast<Area*>(payload);
    const std::string path = std::string(root) + git_tree_entry_name(entry);
    if (!isFileName(git_tree_entry_name(entry))) {
        area->badName = path;
        return -1;
    }
    const git_filemode_t mode = git_tree_entry_filemode(entry);
    if (mode == GIT_FILEMODE_TREE)
        area->folders.insert(path);
    else if (mode != GIT_FILEMODE_COMMIT)
        area->files[path] = {*git_tree_entry_id(entry), mode};
    return 0;
}

// `prefix` is "etc" or "config"; empty for an old point, whose whole tree is the folder.
Failure readArea(const Point& p, const std::string& prefix, Area& out) {
    Git<git_tree> own;
    const git_tree* tree = p.tree.get();
    if (!prefix.empty()) {
        git_tree_entry* rawEntry = nullptr;
        const int rc = git_tree_entry_bypath(&rawEntry, p.tree.get(), prefix.c_str());
        // git keeps no empty folders: an empty folder at the point has no tree.
        out.present = true;
        if (rc == GIT_ENOTFOUND)
            return std::nullopt;
        if (rc < 0)
            return gitError("Could not read the restore point");
        Git<git_tree_entry> entry(rawEntry);
        if (git_tree_entry_type(entry.get()) != GIT_OBJECT_TREE)
            return std::nullopt;
        git_tree* raw = nullptr;
        if (git_tree_lookup(&raw, p.repo.get(), git_tree_entry_id(entry.get())) < 0)
            return gitError("Could not read the restore point");
        own.reset(raw);
        tree = own.get();
    }
    out.present = true;
    const int walked = git_tree_walk(tree, GIT_TREEWALK_PRE, visit, &out);
    if (!out.badName.empty())
        return PlatformError{BuiltinStore::kGitErrorBase + GIT_ERROR_TREE,
                             "Restore point P" + p.number +
                                 " holds a name no file of the folder can have: \"" + out.badName +
                                 "\""};
    if (walked < 0)
        return gitError("Could not read the restore point");
    if (!p.newLayout)
        return std::nullopt;
    git_tree_entry* rawList = nullptr;
    if (git_tree_entry_bypath(&rawList, p.tree.get(), store::kLeftOutFile) != 0)
        return std::nullopt;
    Git<git_tree_entry> list(rawList);
    std::string text;
    if (auto f = readBlob(p, *git_tree_entry_id(list.get()), text))
        return f;
    const std::string lead = prefix + "/";
    for (const auto& l : store::parseLeftOutList(text)) {
        if (l.path.compare(0, lead.size(), lead) == 0)
            out.leftOut.insert(l.path.substr(lead.size()));
    }
    return std::nullopt;
}

// Hands changes over a few at a time, so that the first ones show while the rest is read.
class Sink {
public:
    explicit Sink(const CompareCallbacks& callbacks) : m_callbacks(callbacks) {}

    bool cancelled() const {
        return m_callbacks.cancel && m_callbacks.cancel->load(std::memory_order_relaxed);
    }
    void add(Change c) {
        m_pending.push_back(std::move(c));
        flushIfDue();
    }
    void step() {
        ++m_done;
        if ((m_done & 63) == 0)
            flushIfDue();
    }
    void setTotal(std::size_t total) { m_total = total; }
    void flush() {
        m_last = std::chrono::steady_clock::now();
        if (m_callbacks.progress)
            m_callbacks.progress(m_done, std::max(m_total, m_done));
        if (m_pending.empty())
            return;
        if (m_callbacks.batch)
            m_callbacks.batch(std::move(m_pending));
        m_pending.clear();
    }

private:
    void flushIfDue() {
        if (m_pending.size() >= 256 ||
            std::chrono::steady_clock::now() - m_last > std::chrono::milliseconds(100))
            flush();
    }

    const CompareCallbacks& m_callbacks;
    std::vector<Change> m_pending;
    std::size_t m_done = 0;
    std::size_t m_total = 0;
    std::chrono::steady_clock::time_point m_last = std::chrono::steady_clock::now();
};

const PlatformError kCancelledError{RestoreChanges::kCancelled, "The comparison was cancelled."};

bool isExecutable(const struct stat& st) {
    return (st.st_mode & S_IXUSR) != 0;
}

// False when the file differs from the entry; unreadable files count as unchanged, since
// nothing can be said about them.
bool unchanged(const Point& p, const Entry& e, const std::string& path, const struct stat& st) {
    if (e.mode == GIT_FILEMODE_LINK) {
        if (!S_ISLNK(st.st_mode))
            return false;
        std::string target(static_cast<std::size_t>(st.st_size) + 1, '\0');
        const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
        if (n < 0)
            return true;
        target.resize(static_cast<std::size_t>(n));
        std::string stored;
        if (readBlob(p, e.id, stored))
            return true;
        return stored == target;
    }
    if (!S_ISREG(st.st_mode))
        return false;
    if (isExecutable(st) != (e.mode == GIT_FILEMODE_BLOB_EXECUTABLE))
        return false;
    std::size_t size = 0;
    git_object_t type{};
    if (git_odb_read_header(&size, &type, p.odb.get(), &e.id) == 0 &&
        size != static_cast<std::size_t>(st.st_size))
        return false;
    git_oid now;
    if (git_odb_hashfile(&now, path.c_str(), GIT_OBJECT_BLOB) < 0)
        return true;
    return git_oid_equal(&now, &e.id) != 0;
}

bool hasGitPart(const std::string& rel) {
    std::size_t start = 0;
    while (true) {
        const auto end = rel.find('/', start);
        if (isDotGit(std::string_view(rel).substr(
                start, end == std::string::npos ? std::string::npos : end - start)))
            return true;
        if (end == std::string::npos)
            return false;
        start = end + 1;
    }
}

std::vector<std::string> excludedInside(const std::string& folder,
                                        const std::vector<std::string>& excluded) {
    std::vector<std::string> out;
    const fs::path root = fs::path(folder).lexically_normal();
    for (const auto& ex : excluded) {
        const fs::path rel = fs::path(ex).lexically_normal().lexically_relative(root);
        std::string r = rel.string();
        while (!r.empty() && r.back() == '/')
            r.pop_back();
        if (!r.empty() && r != "." && r.compare(0, 2, "..") != 0)
            out.push_back(r);
    }
    return out;
}

bool isExcluded(const std::vector<std::string>& excluded, const std::string& rel) {
    for (const auto& ex : excluded)
        if (rel.compare(0, ex.size(), ex) == 0 &&
            (rel.size() == ex.size() || rel[ex.size()] == '/'))
            return true;
    return false;
}

struct FolderWalk {
    const Point& point;
    const Area& area;
    const std::string& root; // the folder on disk, no trailing '/'
    std::vector<std::string> excluded;
    Change::Area kind;
    Sink& sink;
    std::set<std::string> seen;
    bool cancelled = false;

    void walk(const std::string& rel) {
        const std::string dirPath = rel.empty() ? root : root + "/" + rel;
        const Fd dir(::open(dirPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dir.valid())
            return; // unreadable: nothing can be said about what is inside
        for (const auto& name : posix::namesIn(dir.get())) {
            if (sink.cancelled()) {
                cancelled = true;
                return;
            }
            const std::string childRel = rel.empty() ? name : rel + "/" + name;
            if (isDotGit(name) || isExcluded(excluded, childRel))
                continue;
            const std::string full = root + "/" + childRel;
            struct stat st {};
            if (::lstat(full.c_str(), &st) != 0)
                continue;
            if (S_ISDIR(st.st_mode)) {
                // Nothing of it is in the point: what it holds now is not known to be new.
                if (area.leftOut.count(childRel))
                    continue;
                // A file of the point where a folder is now.
                if (const auto it = area.files.find(childRel); it != area.files.end()) {
                    seen.insert(childRel);
                    sink.add({kind, Change::Kind::Changed, childRel, {}, {}});
                }
                walk(childRel);
                if (cancelled)
                    return;
                continue;
            }
            if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
                continue;
            sink.step();
            if (area.leftOut.count(childRel))
                continue;
            const auto it = area.files.find(childRel);
            if (it == area.files.end()) {
                sink.add({kind, Change::Kind::Added, childRel, {}, {}});
                continue;
            }
            seen.insert(childRel);
            if (!unchanged(point, it->second, full, st))
                sink.add({kind, Change::Kind::Changed, childRel, {}, {}});
        }
    }

    void finish() {
        for (const auto& [path, entry] : area.files) {
            if (seen.count(path) || isExcluded(excluded, path) || hasGitPart(path))
                continue;
            struct stat st {};
            // Still there but never reached (an unreadable folder): not known to be gone.
            if (::lstat((root + "/" + path).c_str(), &st) == 0)
                continue;
            // Only a file that can't be there is gone (ENOTDIR: a folder on its way is not one).
            if (errno != ENOENT && errno != ENOTDIR)
                continue;
            sink.add({kind, Change::Kind::Removed, path, {}, {}});
        }
    }
};

Failure compareFolder(const Point& p, const Area& area, const std::string& folder,
                      const std::vector<std::string>& excluded, Change::Area kind, Sink& sink) {
    if (!area.present)
        return std::nullopt;
    std::string root = folder;
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    FolderWalk w{p, area, root, excludedInside(root, excluded), kind, sink, {}, false};
    w.walk({});
    if (w.cancelled)
        return kCancelledError;
    w.finish();
    return std::nullopt;
}

Failure readFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return systemError("Could not read " + path, errno ? errno : ENOENT);
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return std::nullopt;
}

// The architecture most packages have: the ones of another architecture are shown with it.
std::string usualArch(const debian::PackageList& list) {
    std::map<std::string, int> counts;
    for (const auto& [key, p] : list) {
        const std::string arch = key.substr(key.find('\t') + 1);
        if (arch != "all" && !arch.empty())
            ++counts[arch];
    }
    std::string best;
    int most = 0;
    for (const auto& [arch, n] : counts)
        if (n > most)
            best = arch, most = n;
    return best;
}

std::string packageName(const std::string& key, const std::string& usual) {
    const auto tab = key.find('\t');
    const std::string name = key.substr(0, tab);
    const std::string arch = key.substr(tab + 1);
    if (arch.empty() || arch == "all" || arch == usual)
        return name;
    return name + ":" + arch;
}

Failure comparePackages(const Point& p, const std::string& statusPath, Sink& sink) {
    git_tree_entry* raw = nullptr;
    if (git_tree_entry_bypath(&raw, p.tree.get(), "packages/dpkg") != 0)
        return std::nullopt;
    Git<git_tree_entry> entry(raw);
    std::string stored, current;
    if (auto f = readBlob(p, *git_tree_entry_id(entry.get()), stored))
        return f;
    if (auto f = readFile(statusPath, current))
        return f;
    const auto then = debian::parseStoredList(stored);
    const auto now = debian::parseStatusFile(current);
    const std::string usual = usualArch(now);
    for (const auto& [key, was] : then) {
        const auto it = now.find(key);
        const std::string name = packageName(key, usual);
        if (it == now.end()) {
            sink.add({Change::Area::Packages, Change::Kind::Removed, name, was.version, {}});
            continue;
        }
        const int order = debian::compareVersions(was.version, it->second.version);
        if (order != 0)
            sink.add({Change::Area::Packages,
                      order < 0 ? Change::Kind::Upgraded : Change::Kind::Downgraded, name,
                      was.version, it->second.version});
    }
    for (const auto& [key, is] : now)
        if (!then.count(key))
            sink.add({Change::Area::Packages,
                      Change::Kind::Added,
                      packageName(key, usual),
                      {},
                      is.version});
    sink.flush();
    return std::nullopt;
}

// --- putting files back -------------------------------------------------------------------

// Can `rel` be written (or removed) under `root` without following a link out of it?
Failure checkWritable(const std::string& root, const std::string& rel) {
    std::string lastExisting = root;
    std::size_t start = 0;
    while (true) {
        const auto slash = rel.find('/', start);
        if (slash == std::string::npos)
            break;
        const std::string part = root + "/" + rel.substr(0, slash);
        struct stat st {};
        if (::lstat(part.c_str(), &st) != 0) {
            if (errno != ENOENT)
                return systemError("Could not put back " + root + "/" + rel, errno);
            break;
        }
        if (S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode))
            return PlatformError{RestoreChanges::kNotWritable, "Could not put back " + root + "/" +
                                                                   rel + ": " + part +
                                                                   " is no longer a folder."};
        lastExisting = part;
        start = slash + 1;
    }
    const std::string full = root + "/" + rel;
    struct stat st {};
    if (::lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return PlatformError{RestoreChanges::kNotWritable,
                             "Could not put back " + full + ": it is a folder now."};
    if (::access(lastExisting.c_str(), W_OK | X_OK) != 0)
        return systemError("Could not put back " + full, errno);
    return std::nullopt;
}

Failure openRoot(const std::string& root, Fd& out) {
    out.reset(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!out.valid())
        return systemError("Could not open " + root, errno);
    return std::nullopt;
}

// The folder that holds `rel`, reached from `rootFd` one folder at a time without following a
// link, so that nothing planted after checkWritable leads out of the folder. Missing folders
// are made when `make`.
Failure openParent(int rootFd, const std::string& root, const std::string& rel, bool make,
                   Fd& out) {
    const std::string full = root + "/" + rel;
    Fd dir(::fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
    if (!dir.valid())
        return systemError("Could not put back " + full, errno);
    std::size_t start = 0;
    for (auto slash = rel.find('/'); slash != std::string::npos; slash = rel.find('/', start)) {
        const std::string name = rel.substr(start, slash - start);
        constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        int next = ::openat(dir.get(), name.c_str(), kFlags);
        if (next < 0 && errno == ENOENT && make) {
            if (::mkdirat(dir.get(), name.c_str(), 0700) != 0 && errno != EEXIST)
                return systemError("Could not create " + root + "/" + rel.substr(0, slash), errno);
            next = ::openat(dir.get(), name.c_str(), kFlags);
        }
        if (next < 0) {
            if (errno == ELOOP || errno == ENOTDIR)
                return PlatformError{RestoreChanges::kNotWritable,
                                     "Could not put back " + full + ": " + root + "/" +
                                         rel.substr(0, slash) + " is no longer a folder."};
            return systemError("Could not put back " + full, errno);
        }
        dir.reset(next);
        start = slash + 1;
    }
    out = std::move(dir);
    return std::nullopt;
}

std::string leafOf(const std::string& rel) {
    const auto slash = rel.rfind('/');
    return slash == std::string::npos ? rel : rel.substr(slash + 1);
}

// A name beside `leaf` that nothing else uses: made by `create`, which fails with EEXIST when
// the name is taken.
template <class Create> int makeTemp(const std::string& leaf, std::string& temp, Create create) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp = "." + leaf + ".vigilorn-";
        for (int i = 0; i < 6; ++i)
            temp += kLetters[random() % (sizeof kLetters - 1)];
        const int rc = create(temp);
        if (rc >= 0 || errno != EEXIST)
            return rc;
    }
    return -1;
}

// Written beside the file and renamed over it, so that a program reading it meanwhile sees
// the old file or the new one, never half of one.
Failure writeBack(int dirFd, const std::string& rel, const std::string& full,
                  const std::string& content, git_filemode_t mode) {
    const std::string leaf = leafOf(rel);
    std::string temp;
    auto fail = [&](int err) {
        ::unlinkat(dirFd, temp.c_str(), 0);
        return systemError("Could not put back " + full, err);
    };
    if (mode == GIT_FILEMODE_LINK) {
        if (makeTemp(leaf, temp, [&](const std::string& t) {
                return ::symlinkat(content.c_str(), dirFd, t.c_str());
            }) != 0)
            return systemError("Could not put back " + full, errno);
    } else {
        Fd fd(makeTemp(leaf, temp, [&](const std::string& t) {
            return ::openat(dirFd, t.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                            0600);
        }));
        if (!fd.valid())
            return systemError("Could not put back " + full, errno);
        struct stat st {};
        // Keeps what the user set (a private file stays private); new files start private.
        mode_t bits =
            ::fstatat(dirFd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)
                ? (st.st_mode & 07777)
                : 0600;
        if (mode == GIT_FILEMODE_BLOB_EXECUTABLE)
            bits |= (bits & 0444) >> 2 | S_IXUSR;
        else
            bits &= ~mode_t(0111);
        if (const int err = writeAll(fd.get(), content))
            return fail(err);
        if (::fchmod(fd.get(), bits) != 0 || ::fsync(fd.get()) != 0 || ::close(fd.release()) != 0)
            return fail(errno);
    }
    if (::renameat(dirFd, temp.c_str(), dirFd, leaf.c_str()) != 0)
        return fail(errno);
    return std::nullopt;
}

// Removes the folders an added file leaves empty, up to the first one the point knew.
void removeEmptyParents(int rootFd, const std::string& root, std::string rel, const Area& area) {
    while (true) {
        const auto slash = rel.rfind('/');
        if (slash == std::string::npos)
            return;
        rel.resize(slash);
        Fd parent;
        if (area.folders.count(rel) || openParent(rootFd, root, rel, false, parent) ||
            ::unlinkat(parent.get(), leafOf(rel).c_str(), AT_REMOVEDIR) != 0)
            return;
    }
}

struct Collected {
    std::vector<Change> changes;
    CompareCallbacks callbacks() {
        CompareCallbacks c;
        c.batch = [this](std::vector<Change>&& b) {
            for (auto& x : b)
                changes.push_back(std::move(x));
        };
        return c;
    }
};

// Readers hold the store shared, so that a creation can't prune what they are reading.
Failure lockShared(const std::string& repository, store::StoreLock& lock,
                   const std::atomic<bool>* cancel) {
    Failure f =
        lock.acquire(repository + "/" + store::kLockFile, LOCK_SH, kLockWaitSeconds, cancel);
    if (f && f->number == ECANCELED)
        return kCancelledError;
    // No store: opening the point says so.
    if (f && f->number == ENOENT)
        return std::nullopt;
    return f;
}

Failure compareUnlocked(const BuiltinChangesOptions& options, const std::string& point,
                        const CompareCallbacks& callbacks) {
    Point p;
    if (auto f = openPoint(options.repository, point, p))
        return f;
    Area etc, config;
    if (p.newLayout && !options.etcFolder.empty()) {
        if (auto f = readArea(p, "etc", etc))
            return f;
    }
    if (auto f = readArea(p, p.newLayout ? "config" : "", config))
        return f;
    Sink sink(callbacks);
    sink.setTotal(etc.files.size() + config.files.size());
    // A store of configuration parts alone leaves both paths empty.
    if (p.newLayout && !options.dpkgStatus.empty()) {
        if (auto f = comparePackages(p, options.dpkgStatus, sink))
            return f;
    }
    if (sink.cancelled())
        return kCancelledError;
    if (!options.etcFolder.empty())
        if (auto f =
                compareFolder(p, etc, options.etcFolder, options.excluded, Change::Area::Etc, sink))
            return f;
    if (auto f = compareFolder(p, config, options.configFolder, options.excluded,
                               Change::Area::Config, sink))
        return f;
    sink.flush();
    return std::nullopt;
}

} // namespace

BuiltinChanges::BuiltinChanges(Options options) : m_options(std::move(options)) {
    git_libgit2_init();
}

BuiltinChanges::~BuiltinChanges() {
    git_libgit2_shutdown();
}

Failure BuiltinChanges::compare(const std::string& point, const CompareCallbacks& callbacks) {
    store::StoreLock lock;
    if (auto f = lockShared(m_options.repository, lock, callbacks.cancel))
        return f;
    return compareUnlocked(m_options, point, callbacks);
}

Failure BuiltinChanges::plan(const std::string& point, RestorePlan& out) {
    store::StoreLock lock;
    if (auto f = lockShared(m_options.repository, lock, nullptr))
        return f;
    Collected found;
    const CompareCallbacks callbacks = found.callbacks();
    if (auto f = compareUnlocked(m_options, point, callbacks))
        return f;
    // The system's part is shown, never acted on: what root would install here would come
    // from files the user can change.
    RestorePlan plan;
    std::size_t system = 0;
    for (const auto& c : found.changes) {
        if (c.area == Change::Area::Config)
            plan.configFiles.push_back(c);
        else
            ++system;
    }
    if (system > 0)
        plan.notes.push_back(
            (system == 1 ? std::string("1 change") : std::to_string(system) + " changes") +
            " of packages and /etc since P" + point +
            " stay as they are: only the package's root side, once installed, puts the system "
            "back.");
    out = std::move(plan);
    return std::nullopt;
}

Failure BuiltinChanges::restoreConfig(const std::string& point, RestoreEngine& engine) {
    const std::string& root = m_options.configFolder;
    struct Put {
        std::string name;
        bool remove = false;
        std::string content;
        git_filemode_t mode = GIT_FILEMODE_BLOB;
    };
    std::vector<Put> puts;
    Area config;
    {
        store::StoreLock lock;
        if (auto f = lockShared(m_options.repository, lock, nullptr))
            return f;
        Point p;
        if (auto f = openPoint(m_options.repository, point, p))
            return f;
        if (auto f = readArea(p, p.newLayout ? "config" : "", config))
            return f;
        Collected found;
        const CompareCallbacks callbacks = found.callbacks();
        Sink sink(callbacks);
        if (auto f = compareFolder(p, config, root, m_options.excluded, Change::Area::Config, sink))
            return f;
        sink.flush();
        if (found.changes.empty())
            return std::nullopt;
        for (const auto& c : found.changes)
            if (auto f = checkWritable(root, c.name))
                return f;
        // Read whole before the undo point is made: its retention may prune objects.
        for (const auto& c : found.changes) {
            if (c.kind == Change::Kind::Added) {
                puts.push_back({c.name, true, {}, GIT_FILEMODE_BLOB});
                continue;
            }
            const auto it = config.files.find(c.name);
            if (it == config.files.end())
                continue;
            Put put{c.name, false, {}, it->second.mode};
            if (auto f = readBlob(p, it->second.id, put.content))
                return f;
            puts.push_back(std::move(put));
        }
    }

    if (auto f = engine.createRestorePointKeeping("Before restoring P" + point, kRestorePointType,
                                                  kRestorePointEventType, point))
        return f;
    const std::string undo = "The files as they were before are in the restore point \"Before "
                             "restoring P" +
                             point + "\".";
    auto withUndo = [&](const PlatformError& e) {
        return PlatformError{e.number, e.description + ". " + undo};
    };

    Fd rootFd;
    if (auto f = openRoot(root, rootFd))
        return withUndo(*f);
    for (const auto& put : puts) {
        const std::string full = root + "/" + put.name;
        Fd parent;
        if (put.remove) {
            if (auto f = openParent(rootFd.get(), root, put.name, false, parent)) {
                if (f->number == ENOENT)
                    continue;
                return withUndo(*f);
            }
            if (::unlinkat(parent.get(), leafOf(put.name).c_str(), 0) != 0 && errno != ENOENT)
                return withUndo(systemError("Could not remove " + full, errno));
            removeEmptyParents(rootFd.get(), root, put.name, config);
            continue;
        }
        Failure f = openParent(rootFd.get(), root, put.name, true, parent);
        if (!f)
            f = writeBack(parent.get(), put.name, full, put.content, put.mode);
        if (f)
            return withUndo(*f);
    }
    return std::nullopt;
}

// The store runs nothing as root itself; the program that loads it does.
bool BuiltinChanges::canRunAsRoot() const {
    return false;
}

Failure BuiltinChanges::runAsRoot(const Command&, std::string&) {
    return PlatformError{kCommandFailed, "Commands are not run as root from the store."};
}

} // namespace vigilorn

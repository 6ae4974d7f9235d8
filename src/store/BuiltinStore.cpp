#include "BuiltinStore.h"
#include "GitHandle.h"
#include "SnapshotWriter.h"
#include "StoreLock.h"
#include "platform/posix/Fd.h"
#include "platform/posix/Files.h"
#include "platform/posix/Text.h"

#include <git2.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_set>

namespace vigilorn {

namespace {

namespace fs = std::filesystem;

constexpr const char* kBranch = "restore-points";
constexpr const char* kTypeKey = "Restore-Point-Type: ";
constexpr const char* kEventKey = "Event-Type: ";
constexpr const char* kNumberKey = "Sequence-Number: ";
constexpr const char* kLayoutKey = "Store-Layout: ";
constexpr const char* kBranchRef = "refs/heads/restore-points";
constexpr const char* kCacheFile = "vigilorn-stat-cache";
constexpr const char* kLastNumberFile = "vigilorn-last-number";
constexpr const char* kDamagedFolder = "damaged";
constexpr int kMaxAttempts = 5;

struct LibGit2 {
    LibGit2() {
        git_libgit2_init();
        // A point confirmed to the user must survive a power cut.
        git_libgit2_opts(GIT_OPT_ENABLE_FSYNC_GITDIR, 1);
        // Every object a tree names is known to exist already; checking each again costs
        // more than the rest of an unchanged point.
        git_libgit2_opts(GIT_OPT_ENABLE_STRICT_OBJECT_CREATION, 0);
    }
    ~LibGit2() { git_libgit2_shutdown(); }
    LibGit2(const LibGit2&) = delete;
    LibGit2& operator=(const LibGit2&) = delete;
};

void ensureLibGit2() {
    static const LibGit2 lib;
}

// libgit2 ends a system failure's text with strerror(), but errno itself is often
// overwritten by its clean-up before we see it: take the number back from the text.
int errnoFromText(const std::string& text, int err) {
    auto endsWith = [&](const char* tail) {
        const std::string_view t(tail);
        return !t.empty() && text.size() >= t.size() &&
               std::string_view(text).substr(text.size() - t.size()) == t;
    };
    if (err != 0 && endsWith(std::strerror(err)))
        return err;
    for (int e = 1; e < 134; ++e)
        if (endsWith(std::strerror(e)))
            return e;
    return 0;
}

} // namespace

// The failure of the libgit2 call that just returned rc < 0.
PlatformError store::gitError(const std::string& what) {
    const int err = errno;
    const git_error* e = git_error_last();
    const int klass = e ? e->klass : GIT_ERROR_NONE;
    std::string text = e && e->message ? e->message : "unknown error";
    // libgit2 appends strerror even when errno was lost, leaving a dangling ": ".
    while (!text.empty() && (text.back() == ' ' || text.back() == ':'))
        text.pop_back();
    const int sysErr = klass == GIT_ERROR_OS ? errnoFromText(text, err) : 0;
    const int number = sysErr != 0 ? sysErr : BuiltinStore::kGitErrorBase + klass;
    return {number, what + ": " + text};
}

namespace {

using store::gitError;

std::string restorePointTime(git_time_t t) {
    const std::time_t seconds = static_cast<std::time_t>(t);
    std::tm tm{};
    if (!gmtime_r(&seconds, &tm))
        return {};
    char text[32];
    if (std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &tm) == 0)
        return {};
    return std::string(text) + ".000000+000";
}

std::string trailers(int type, int eventType, unsigned long long number) {
    return std::string("\n\n") + kTypeKey + std::to_string(type) + "\n" + kEventKey +
           std::to_string(eventType) + "\n" + kNumberKey + std::to_string(number) + "\n" +
           kLayoutKey + "2\n";
}

bool isNumber(std::string_view s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

struct ParsedPoint {
    std::string description;
    unsigned long long number = 0;
    int layout = 1; // 1: the whole tree is the configuration folder
};

// Takes apart what trailers() wrote; the description before it is returned untouched, even
// when it holds text that looks like trailers itself.
bool parseMessage(std::string_view message, ParsedPoint& out) {
    const std::string marker = std::string("\n\n") + kTypeKey;
    const auto at = message.rfind(marker);
    if (at == std::string_view::npos)
        return false;
    std::string_view block = message.substr(at + 2);
    std::string_view numberText;
    bool haveType = false, haveEvent = false;
    while (!block.empty()) {
        const auto end = block.find('\n');
        const std::string_view line = block.substr(0, end);
        block = end == std::string_view::npos ? std::string_view{} : block.substr(end + 1);
        auto valueOf = [&](const char* key, std::string_view& value) {
            const std::string_view k(key);
            if (line.substr(0, k.size()) != k)
                return false;
            value = line.substr(k.size());
            return true;
        };
        std::string_view value;
        if (valueOf(kTypeKey, value))
            haveType = isNumber(value);
        else if (valueOf(kEventKey, value))
            haveEvent = isNumber(value);
        else if (valueOf(kNumberKey, value))
            numberText = value;
        else if (valueOf(kLayoutKey, value) && isNumber(value))
            out.layout = value == "2" ? 2 : 0;
        else if (!line.empty())
            return false;
    }
    if (!haveType || !haveEvent || !isNumber(numberText))
        return false;
    const auto r =
        std::from_chars(numberText.data(), numberText.data() + numberText.size(), out.number);
    if (r.ec != std::errc() || out.number == 0)
        return false;
    out.description = std::string(message.substr(0, at));
    return true;
}

// --- the repository ---------------------------------------------------------------------

Failure setConfig(git_repository* repo) {
    git_config* raw = nullptr;
    if (git_repository_config(&raw, repo) < 0)
        return gitError("Could not read the store's settings");
    Git<git_config> config(raw);
    // The repository's own values win over the user's ~/.gitconfig.
    if (git_config_set_bool(config.get(), "core.autocrlf", 0) < 0 ||
        git_config_set_bool(config.get(), "core.symlinks", 1) < 0 ||
        git_config_set_bool(config.get(), "core.filemode", 1) < 0 ||
        git_config_set_bool(config.get(), "core.logallrefupdates", 0) < 0 ||
        // Names such as "git~1" are ordinary files here, not another system's aliases.
        git_config_set_bool(config.get(), "core.protectNTFS", 0) < 0 ||
        git_config_set_bool(config.get(), "core.protectHFS", 0) < 0)
        return gitError("Could not write the store's settings");
    return std::nullopt;
}

Failure ensureConfig(git_repository* repo) {
    git_config* raw = nullptr;
    if (git_repository_config_snapshot(&raw, repo) < 0)
        return gitError("Could not read the store's settings");
    Git<git_config> config(raw);
    int protect = 1;
    // Stores made before these settings existed get them once.
    if (git_config_get_bool(&protect, config.get(), "core.protectNTFS") < 0 || protect)
        return setConfig(repo);
    return std::nullopt;
}

std::string hexOf(const git_oid& id) {
    char hex[GIT_OID_HEXSZ + 1];
    git_oid_tostr(hex, sizeof hex, &id);
    return hex;
}

std::string keyOf(const git_oid& id) {
    return std::string(reinterpret_cast<const char*>(id.id), GIT_OID_RAWSZ);
}

std::mutex g_damagedMutex;
std::vector<std::string> g_damaged;
std::function<void(const std::string&)> g_warn;

void reportDamaged(const git_oid& id) {
    const std::string hex = hexOf(id);
    const std::lock_guard<std::mutex> lock(g_damagedMutex);
    if (std::find(g_damaged.begin(), g_damaged.end(), hex) != g_damaged.end())
        return;
    g_damaged.push_back(hex);
    const git_error* e = git_error_last();
    const std::string text = "The restore point store has a damaged or missing object " + hex +
                             ": " + (e && e->message ? e->message : "unreadable");
    if (g_warn)
        g_warn(text);
    else
        std::fprintf(stderr, "%s\n", text.c_str());
}

using store::StoreLock;

// Temporary files of writers that crashed: libgit2's tmp_object_git2_*, git's tmp_obj_*. One
// younger than an hour may still be written by git run by hand, which takes no lock of ours.
void removeTemporaryObjects(const std::string& objects) {
    const auto hourAgo = fs::file_time_type::clock::now() - std::chrono::hours(1);
    auto sweep = [&](const fs::path& folder) {
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(folder, ec)) {
            const std::string name = e.path().filename().string();
            if (name.rfind("tmp_object_git2_", 0) != 0 && name.rfind("tmp_obj_", 0) != 0)
                continue;
            std::error_code ec2;
            if (e.is_regular_file(ec2) && e.last_write_time(ec2) < hourAgo && !ec2)
                fs::remove(e.path(), ec2);
        }
    };
    sweep(objects);
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(objects, ec)) {
        const std::string name = e.path().filename().string();
        std::error_code ec2;
        if (name.size() == 2 && std::isxdigit(static_cast<unsigned char>(name[0])) &&
            std::isxdigit(static_cast<unsigned char>(name[1])) && e.is_directory(ec2))
            sweep(e.path());
    }
}

bool isStore(const std::string& path) {
    struct stat st {};
    return ::stat((path + "/HEAD").c_str(), &st) == 0;
}

// Opens the store; a missing one is created when `create`, else `repo` stays empty.
Failure openStore(const std::string& path, bool create, Git<git_repository>& repo) {
    ensureLibGit2();
    if (!isStore(path)) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            if (errno != ENOENT)
                return errorFromErrno(errno);
        } else if (!S_ISDIR(st.st_mode)) {
            return PlatformError{ENOTDIR, "The restore point store is not a folder: " + path};
        }
        if (!create)
            return std::nullopt;
        git_repository_init_options opts = GIT_REPOSITORY_INIT_OPTIONS_INIT;
        opts.flags =
            GIT_REPOSITORY_INIT_BARE | GIT_REPOSITORY_INIT_MKPATH | GIT_REPOSITORY_INIT_NO_REINIT;
        opts.initial_head = kBranch;
        opts.description = "Restore points of the package set, /etc and the configuration folder";
        git_repository* raw = nullptr;
        if (git_repository_init_ext(&raw, path.c_str(), &opts) < 0)
            return gitError("Could not create the restore point store " + path);
        repo.reset(raw);
        return setConfig(repo.get());
    }
    git_repository* raw = nullptr;
    if (git_repository_open_bare(&raw, path.c_str()) < 0)
        return gitError("Could not open the restore point store " + path);
    repo.reset(raw);
    return std::nullopt;
}

// A readable commit of the branch.
struct Link {
    git_oid id{};
    git_oid tree{};
    std::vector<git_oid> parents;
    bool ours = false;
    ParsedPoint point;
    git_time_t time = 0;
};

struct Chain {
    bool unborn = true;
    std::string branch = kBranchRef; // the branch HEAD names
    git_oid tip{};                   // what it names, perhaps a damaged commit
    std::vector<Link> links;         // newest first
    bool damaged = false;
    unsigned long long highest = 0;
};

bool readLink(git_repository* repo, const git_oid& id, Link& out) {
    git_commit* raw = nullptr;
    if (git_commit_lookup(&raw, repo, &id) < 0)
        return false;
    Git<git_commit> commit(raw);
    out.id = id;
    out.tree = *git_commit_tree_id(commit.get());
    for (unsigned i = 0; i < git_commit_parentcount(commit.get()); ++i)
        out.parents.push_back(*git_commit_parent_id(commit.get(), i));
    const char* message = git_commit_message_raw(commit.get());
    out.ours = message && parseMessage(message, out.point);
    out.time = git_commit_time(commit.get());
    return true;
}

// Every readable point in the store's objects, reachable or not.
std::vector<Link> scanPoints(git_repository* repo) {
    std::vector<Link> found;
    git_odb* rawOdb = nullptr;
    if (git_repository_odb(&rawOdb, repo) < 0)
        return found;
    std::unique_ptr<git_odb, void (*)(git_odb*)> odb(rawOdb, git_odb_free);
    std::vector<git_oid> ids;
    git_odb_foreach(
        odb.get(),
        [](const git_oid* id, void* payload) {
            static_cast<std::vector<git_oid>*>(payload)->push_back(*id);
            return 0;
        },
        &ids);
    for (const auto& id : ids) {
        std::size_t size = 0;
        git_object_t type = GIT_OBJECT_INVALID;
        if (git_odb_read_header(&size, &type, odb.get(), &id) < 0 || type != GIT_OBJECT_COMMIT)
            continue;
        Link l;
        if (readLink(repo, id, l) && l.ours)
            found.push_back(std::move(l));
    }
    return found;
}

// The branch's commits, newest first. Past a commit that can't be read, the chain goes on
// with the newest readable point older than the last one read, so that one damaged object
// hides nothing else.
Failure readChain(git_repository* repo, Chain& chain) {
    chain = {};
    const int unborn = git_repository_head_unborn(repo);
    if (unborn < 0)
        return gitError("Could not read the store's HEAD");
    git_reference* rawHead = nullptr;
    if (git_reference_lookup(&rawHead, repo, "HEAD") < 0)
        return gitError("Could not read the store's HEAD");
    Git<git_reference> head(rawHead);
    if (git_reference_type(head.get()) == GIT_REFERENCE_SYMBOLIC)
        chain.branch = git_reference_symbolic_target(head.get());
    if (unborn == 1)
        return std::nullopt;
    chain.unborn = false;
    if (git_reference_name_to_id(&chain.tip, repo, chain.branch.c_str()) < 0)
        return gitError("Could not read the store's HEAD");

    std::optional<std::vector<Link>> scanned;
    std::unordered_set<std::string> seen;
    unsigned long long below = ULLONG_MAX;
    git_oid id = chain.tip;
    while (seen.insert(keyOf(id)).second) {
        Link l;
        if (readLink(repo, id, l)) {
            if (l.ours) {
                below = l.point.number;
                chain.highest = std::max(chain.highest, l.point.number);
            }
            const bool root = l.parents.empty();
            if (!root)
                id = l.parents[0];
            chain.links.push_back(std::move(l));
            if (root)
                break;
            continue;
        }
        chain.damaged = true;
        reportDamaged(id);
        if (!scanned) {
            scanned = scanPoints(repo);
            for (const auto& p : *scanned)
                chain.highest = std::max(chain.highest, p.point.number);
        }
        const Link* next = nullptr;
        for (const auto& p : *scanned)
            if (p.point.number < below && !seen.count(keyOf(p.id)) &&
                (!next || p.point.number > next->point.number))
                next = &p;
        if (!next)
            break;
        id = next->id;
    }
    return std::nullopt;
}

unsigned long long readLastNumber(const std::string& folder) {
    const posix::Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const auto file = posix::readFile(dir.get(), kLastNumberFile, 32);
    unsigned long long number = 0;
    return file.ok() && posix::parseDecimal(posix::trim(file.text), number) ? number : 0;
}

// Remembers the highest number ever given, so that a point lost to damage never has its
// number given again.
void writeLastNumber(const std::string& folder, unsigned long long number) {
    const posix::Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid())
        posix::replaceFile(dir.get(), kLastNumberFile, std::to_string(number) + "\n", 0600);
}

// A copy of `l` on top of `parent` (none: a first commit), with its own time and message.
Failure recommit(git_repository* repo, const Link& l, const std::optional<git_oid>& parent,
                 git_oid& out) {
    git_commit* rawCommit = nullptr;
    if (git_commit_lookup(&rawCommit, repo, &l.id) < 0)
        return gitError("Could not read a restore point");
    Git<git_commit> commit(rawCommit);
    git_tree* rawTree = nullptr;
    if (git_tree_lookup(&rawTree, repo, &l.tree) < 0)
        return gitError("Could not read a restore point");
    Git<git_tree> tree(rawTree);
    git_commit* rawParent = nullptr;
    if (parent && git_commit_lookup(&rawParent, repo, &*parent) < 0)
        return gitError("Could not read a restore point");
    Git<git_commit> parentCommit(rawParent);
    const git_commit* parents[] = {parentCommit.get()};
    if (git_commit_create(
            &out, repo, nullptr, git_commit_author(commit.get()),
            git_commit_committer(commit.get()), git_commit_message_encoding(commit.get()),
            git_commit_message_raw(commit.get()), tree.get(), parent ? 1 : 0, parents) < 0)
        return gitError("Could not record a restore point");
    return std::nullopt;
}

// Deletes the loose objects nothing reaches any more; damaged ones are moved aside instead,
// for whoever wants to look at them. Does nothing when anything reachable can't be read.
void prune(git_repository* repo, const std::string& path) {
    std::unordered_set<std::string> reachable;
    std::vector<std::string> refs;
    git_reference_foreach_name(
        repo,
        [](const char* name, void* payload) {
            static_cast<std::vector<std::string>*>(payload)->emplace_back(name);
            return 0;
        },
        &refs);
    std::vector<git_oid> commits;
    for (const auto& name : refs) {
        git_oid id;
        if (git_reference_name_to_id(&id, repo, name.c_str()) < 0)
            return;
        commits.push_back(id);
    }
    std::vector<git_oid> trees;
    while (!commits.empty()) {
        const git_oid id = commits.back();
        commits.pop_back();
        if (!reachable.insert(keyOf(id)).second)
            continue;
        Link l;
        if (!readLink(repo, id, l)) {
            reportDamaged(id);
            return;
        }
        trees.push_back(l.tree);
        commits.insert(commits.end(), l.parents.begin(), l.parents.end());
    }
    while (!trees.empty()) {
        const git_oid id = trees.back();
        trees.pop_back();
        if (!reachable.insert(keyOf(id)).second)
            continue;
        git_tree* raw = nullptr;
        if (git_tree_lookup(&raw, repo, &id) < 0) {
            reportDamaged(id);
            return;
        }
        Git<git_tree> tree(raw);
        for (std::size_t i = 0; i < git_tree_entrycount(tree.get()); ++i) {
            const git_tree_entry* e = git_tree_entry_byindex(tree.get(), i);
            if (git_tree_entry_type(e) == GIT_OBJECT_TREE)
                trees.push_back(*git_tree_entry_id(e));
            else
                reachable.insert(keyOf(*git_tree_entry_id(e)));
        }
    }
    git_odb* rawOdb = nullptr;
    if (git_repository_odb(&rawOdb, repo) < 0)
        return;
    std::unique_ptr<git_odb, void (*)(git_odb*)> odb(rawOdb, git_odb_free);
    std::vector<git_oid> all;
    git_odb_foreach(
        odb.get(),
        [](const git_oid* id, void* payload) {
            static_cast<std::vector<git_oid>*>(payload)->push_back(*id);
            return 0;
        },
        &all);
    std::vector<std::string> damaged = BuiltinStore::damagedObjects();
    for (const auto& id : all) {
        if (reachable.count(keyOf(id)))
            continue;
        const std::string hex = hexOf(id);
        const std::string file = path + "/objects/" + hex.substr(0, 2) + "/" + hex.substr(2);
        if (std::find(damaged.begin(), damaged.end(), hex) != damaged.end()) {
            ::mkdir((path + "/" + kDamagedFolder).c_str(), 0700);
            std::rename(file.c_str(), (path + "/" + kDamagedFolder + "/" + hex).c_str());
        } else {
            ::unlink(file.c_str()); // a packed one stays: packs are never rewritten here
        }
    }
}

} // namespace

void store::setAsideDamaged(git_repository* repo, const git_oid& id) {
    reportDamaged(id);
    const std::string path = git_repository_path(repo);
    const std::string hex = hexOf(id);
    ::mkdir((path + kDamagedFolder).c_str(), 0700);
    std::rename((path + "objects/" + hex.substr(0, 2) + "/" + hex.substr(2)).c_str(),
                (path + kDamagedFolder + "/" + hex).c_str());
}

BuiltinStore::BuiltinStore(Options options) : m_options(std::move(options)) {
    ensureLibGit2();
    if (m_options.warn) {
        const std::lock_guard<std::mutex> lock(g_damagedMutex);
        g_warn = m_options.warn;
    }
}

BuiltinStore::~BuiltinStore() = default;

std::vector<std::string> BuiltinStore::damagedObjects() {
    const std::lock_guard<std::mutex> lock(g_damagedMutex);
    return g_damaged;
}

Failure BuiltinStore::createRestorePoint(const std::string& description, int restorePointType,
                                         int eventType) {
    return createRestorePointKeeping(description, restorePointType, eventType, {});
}

Failure BuiltinStore::createRestorePointKeeping(const std::string& description,
                                                int restorePointType, int eventType,
                                                const std::string& keep) {
    return create(description, restorePointType, eventType, keep, 0);
}

Failure BuiltinStore::createNumberedRestorePoint(const std::string& description,
                                                 int restorePointType, int eventType,
                                                 std::uint64_t number, const std::string& keep) {
    if (number == 0)
        return programError(ErrorNumber::InvalidProcedureCall);
    return create(description, restorePointType, eventType, keep, number);
}

Failure BuiltinStore::create(const std::string& description, int restorePointType, int eventType,
                             const std::string& keep, std::uint64_t number) {
    if (description.find('\0') != std::string::npos)
        return programError(ErrorNumber::InvalidProcedureCall);
    ensureLibGit2();
    const std::string& path = m_options.repository;
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec)
        return PlatformError{ec.value(), "Could not create the restore point store " + path + ": " +
                                             ec.message()};
    // Copies of the system's and the user's settings can hold secrets: keep other users out,
    // whoever made the folder.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return errorFromErrno(errno);
    if ((st.st_mode & 07777) != 0700 && ::chmod(path.c_str(), 0700) != 0)
        return errorFromErrno(errno);
    StoreLock lock;
    if (auto f = lock.acquire(path + "/" + store::kLockFile, LOCK_EX, m_options.lockWaitSeconds))
        return f;
    return createLocked(description, restorePointType, eventType, keep, number);
}

Failure BuiltinStore::createLocked(const std::string& description, int restorePointType,
                                   int eventType, const std::string& keep, std::uint64_t given) {
    const std::string& path = m_options.repository;
    Git<git_repository> repo;
    if (auto f = openStore(path, true, repo))
        return f;
    if (auto f = ensureConfig(repo.get()))
        return f;
    removeTemporaryObjects(path + "/objects");

    Chain chain;
    if (auto f = readChain(repo.get(), chain))
        return f;

    store::StatCache previous, next;
    previous.load(path + "/" + kCacheFile);
    const bool trust = !chain.damaged && !chain.links.empty() && previous.haveTree &&
                       git_oid_equal(&previous.tree, &chain.links.front().tree);
    store::Sources sources;
    sources.dpkgStatus = m_options.dpkgStatus;
    sources.flatpakSystem = m_options.flatpakSystem;
    sources.flatpakUser = m_options.flatpakUser;
    sources.etc = m_options.etc;
    sources.config = m_options.source;
    sources.excluded = m_options.excluded;
    sources.excluded.push_back(path);
    sources.etcOwners = m_options.etcOwners;
    sources.extraFiles = m_options.extraFiles;
    store::Snapshot snapshot;
    {
        // One syncfs() for all the blobs and trees instead of an fsync() for each: a first
        // point of thousands of files would take minutes otherwise. The commit and the
        // branch are still written with fsync, after it.
        struct FsyncEachObject {
            FsyncEachObject() { git_libgit2_opts(GIT_OPT_ENABLE_FSYNC_GITDIR, 0); }
            ~FsyncEachObject() { git_libgit2_opts(GIT_OPT_ENABLE_FSYNC_GITDIR, 1); }
        } batched;
        if (auto f = store::writeSnapshot(repo.get(), sources, previous, trust, next, snapshot))
            return f;
    }
    // The same tree as the newest point's: every object of it was made durable then.
    const bool unchanged =
        !chain.links.empty() && git_oid_equal(&snapshot.tree, &chain.links.front().tree);
    if (!unchanged) {
        const int objects = ::open((path + "/objects").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (objects < 0)
            return errorFromErrno(errno);
        const int rc = ::syncfs(objects);
        const int err = errno;
        ::close(objects);
        if (rc != 0)
            return errorFromErrno(err);
    }
    git_tree* rawTree = nullptr;
    if (git_tree_lookup(&rawTree, repo.get(), &snapshot.tree) < 0)
        return gitError("Could not record the captured files");
    Git<git_tree> tree(rawTree);

    git_signature* rawSig = nullptr;
    const std::string email = m_options.committerName + "@localhost";
    if (git_signature_now(&rawSig, m_options.committerName.c_str(), email.c_str()) < 0)
        return gitError("Could not sign the restore point");
    Git<git_signature> sig(rawSig);

    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        // Another writer that doesn't take our lock (git by hand, say) may move the branch
        // between our reading it and moving it: read again and redo the commits.
        if (attempt > 0)
            if (auto f = readChain(repo.get(), chain))
                return f;
        const unsigned long long number =
            given != 0 ? given : std::max(chain.highest, readLastNumber(path)) + 1;

        // The points below the new one that stay, newest first; past the limit only the
        // point being restored from.
        std::vector<const Link*> kept;
        unsigned ours = 0;
        bool full = false;
        for (const auto& l : chain.links) {
            if (given != 0 && l.ours && l.point.number >= given)
                continue;
            if (l.ours && m_options.drop.count(l.point.number))
                continue;
            full = full || (m_options.keep != 0 && l.ours && ours + 1 >= m_options.keep);
            if (full && !(l.ours && !keep.empty() && std::to_string(l.point.number) == keep))
                continue;
            kept.push_back(&l);
            ours += l.ours ? 1 : 0;
        }
        bool rewritten = chain.damaged || kept.size() < chain.links.size();
        std::optional<git_oid> parent;
        for (auto it = kept.rbegin(); it != kept.rend(); ++it) {
            const Link& l = **it;
            const bool same = parent
                                  ? l.parents.size() == 1 && git_oid_equal(&l.parents[0], &*parent)
                                  : l.parents.empty();
            if (same) {
                parent = l.id;
                continue;
            }
            git_oid copy;
            if (auto f = recommit(repo.get(), l, parent, copy))
                return f;
            parent = copy;
            rewritten = true;
        }

        git_commit* rawParent = nullptr;
        if (parent && git_commit_lookup(&rawParent, repo.get(), &*parent) < 0)
            return gitError("Could not read the last restore point");
        Git<git_commit> parentCommit(rawParent);
        const std::string message = description + trailers(restorePointType, eventType, number);
        const git_commit* parents[] = {parentCommit.get()};
        git_oid commitId;
        if (git_commit_create(&commitId, repo.get(), nullptr, sig.get(), sig.get(), nullptr,
                              message.c_str(), tree.get(), parent ? 1 : 0, parents) < 0)
            return gitError("Could not record the restore point");

        // Moving the branch is the last step; it fails when the branch moved meanwhile.
        git_reference* rawRef = nullptr;
        const int rc =
            chain.unborn ? git_reference_create(&rawRef, repo.get(), chain.branch.c_str(),
                                                &commitId, 0, "restore point")
                         : git_reference_create_matching(&rawRef, repo.get(), chain.branch.c_str(),
                                                         &commitId, 1, &chain.tip, "restore point");
        Git<git_reference> ref(rawRef);
        if (rc == GIT_EMODIFIED || rc == GIT_EEXISTS)
            continue;
        if (rc < 0)
            return gitError("Could not record the restore point");

        writeLastNumber(path, number);
        if (rewritten)
            prune(repo.get(), path);
        // The point is made; a cache that can't be saved only makes the next one slower.
        (void)next.save(path + "/" + kCacheFile);
        return std::nullopt;
    }
    return PlatformError{EAGAIN, "The restore point store kept changing; try again"};
}

Failure
BuiltinStore::appendToNewest(std::uint64_t number,
                             const std::vector<std::pair<std::string, std::string>>& additions) {
    for (const auto& [name, text] : additions)
        if (name.empty() || name == "." || name == ".." ||
            name.find_first_of(std::string_view("/\0", 2)) != std::string::npos)
            return programError(ErrorNumber::InvalidProcedureCall);
    ensureLibGit2();
    const std::string& path = m_options.repository;
    StoreLock lock;
    if (auto f = lock.acquire(path + "/" + store::kLockFile, LOCK_EX, m_options.lockWaitSeconds))
        return f;
    Git<git_repository> repo;
    if (auto f = openStore(path, false, repo))
        return f;
    Chain chain;
    if (repo)
        if (auto f = readChain(repo.get(), chain))
            return f;
    if (!repo || chain.damaged || chain.links.empty() || !chain.links.front().ours ||
        chain.links.front().point.number != number)
        return PlatformError{ESTALE, "Restore point " + std::to_string(number) +
                                         " is no longer the newest"};
    const Link& tip = chain.links.front();
    git_commit* rawCommit = nullptr;
    git_tree* rawTree = nullptr;
    if (git_commit_lookup(&rawCommit, repo.get(), &tip.id) < 0 ||
        git_tree_lookup(&rawTree, repo.get(), &tip.tree) < 0) {
        git_commit_free(rawCommit);
        return gitError("Could not read restore point " + std::to_string(number));
    }
    Git<git_commit> commit(rawCommit);
    Git<git_tree> tree(rawTree);
    git_treebuilder* rawBuilder = nullptr;
    if (git_treebuilder_new(&rawBuilder, repo.get(), tree.get()) < 0)
        return gitError("Could not change restore point " + std::to_string(number));
    Git<git_treebuilder> builder(rawBuilder);
    for (const auto& [name, text] : additions) {
        std::string content;
        if (const git_tree_entry* e = git_tree_entry_byname(tree.get(), name.c_str())) {
            git_blob* rawBlob = nullptr;
            if (git_tree_entry_filemode(e) != GIT_FILEMODE_BLOB ||
                git_blob_lookup(&rawBlob, repo.get(), git_tree_entry_id(e)) < 0)
                return PlatformError{EIO, "Restore point " + std::to_string(number) + "'s " + name +
                                              " cannot be read"};
            const Git<git_blob> blob(rawBlob);
            content.assign(static_cast<const char*>(git_blob_rawcontent(blob.get())),
                           static_cast<std::size_t>(git_blob_rawsize(blob.get())));
        }
        content += text;
        git_oid blobId;
        if (git_blob_create_from_buffer(&blobId, repo.get(), content.data(), content.size()) < 0 ||
            git_treebuilder_insert(nullptr, builder.get(), name.c_str(), &blobId,
                                   GIT_FILEMODE_BLOB) < 0)
            return gitError("Could not change restore point " + std::to_string(number));
    }
    git_oid treeId;
    git_tree* rawNewTree = nullptr;
    if (git_treebuilder_write(&treeId, builder.get()) < 0 ||
        git_tree_lookup(&rawNewTree, repo.get(), &treeId) < 0)
        return gitError("Could not change restore point " + std::to_string(number));
    Git<git_tree> newTree(rawNewTree);
    std::vector<Git<git_commit>> parentCommits;
    std::vector<const git_commit*> parents;
    for (unsigned i = 0; i < git_commit_parentcount(commit.get()); ++i) {
        git_commit* rawParent = nullptr;
        if (git_commit_parent(&rawParent, commit.get(), i) < 0)
            return gitError("Could not read restore point " + std::to_string(number));
        parentCommits.emplace_back(rawParent);
        parents.push_back(rawParent);
    }
    // The same point, only more in it: its author, committer and message as they were.
    git_oid commitId;
    if (git_commit_create(&commitId, repo.get(), nullptr, git_commit_author(commit.get()),
                          git_commit_committer(commit.get()),
                          git_commit_message_encoding(commit.get()),
                          git_commit_message_raw(commit.get()), newTree.get(), parents.size(),
                          parents.data()) < 0)
        return gitError("Could not change restore point " + std::to_string(number));
    git_reference* rawRef = nullptr;
    const int rc = git_reference_create_matching(&rawRef, repo.get(), chain.branch.c_str(),
                                                 &commitId, 1, &chain.tip, "restore point");
    Git<git_reference> ref(rawRef);
    if (rc == GIT_EMODIFIED)
        return PlatformError{EAGAIN, "The restore point store changed meanwhile; try again"};
    if (rc < 0)
        return gitError("Could not change restore point " + std::to_string(number));
    // Every file the cache names is still in the point as it was.
    store::StatCache cache;
    cache.load(path + "/" + kCacheFile);
    if (cache.haveTree && git_oid_equal(&cache.tree, &tip.tree)) {
        cache.tree = treeId;
        (void)cache.save(path + "/" + kCacheFile);
    }
    prune(repo.get(), path);
    return std::nullopt;
}

Failure BuiltinStore::listRestorePoints(std::vector<RestorePointRecord>& out) {
    Git<git_repository> repo;
    if (auto f = openStore(m_options.repository, false, repo))
        return f;
    out.clear();
    if (!repo)
        return std::nullopt;
    // Waits briefly for a creation that is pruning; a long first point is not waited for,
    // as reading never needs what a creation is still writing.
    StoreLock lock;
    (void)lock.acquire(m_options.repository + "/" + store::kLockFile, LOCK_SH, 2);
    Chain chain;
    if (auto f = readChain(repo.get(), chain))
        return f;
    for (auto it = chain.links.rbegin(); it != chain.links.rend(); ++it)
        if (it->ours)
            out.push_back({std::to_string(it->point.number), it->point.description,
                           restorePointTime(it->time)});
    return std::nullopt;
}

std::size_t BuiltinStore::leftOutOfNewest() const {
    Git<git_repository> repo;
    if (openStore(m_options.repository, false, repo) || !repo)
        return 0;
    Chain chain;
    if (readChain(repo.get(), chain))
        return 0;
    const auto newest =
        std::find_if(chain.links.begin(), chain.links.end(), [](const Link& l) { return l.ours; });
    if (newest == chain.links.end() || newest->point.layout != 2)
        return 0;
    git_tree* rawTree = nullptr;
    if (git_tree_lookup(&rawTree, repo.get(), &newest->tree) < 0)
        return 0;
    Git<git_tree> tree(rawTree);
    const git_tree_entry* entry = git_tree_entry_byname(tree.get(), store::kLeftOutFile);
    git_blob* blob = nullptr;
    if (!entry || git_blob_lookup(&blob, repo.get(), git_tree_entry_id(entry)) < 0)
        return 0;
    const char* text = static_cast<const char*>(git_blob_rawcontent(blob));
    const auto count =
        static_cast<std::size_t>(std::count(text, text + git_blob_rawsize(blob), '\n'));
    git_blob_free(blob);
    return count;
}

} // namespace vigilorn

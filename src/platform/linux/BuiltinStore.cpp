#include "BuiltinStore.h"

#include <QDir>
#include <QStandardPaths>

#include <git2.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace vigilorn {

namespace {

namespace fs = std::filesystem;

constexpr const char* kBranch = "restore-points";
constexpr const char* kTypeKey = "Restore-Point-Type: ";
constexpr const char* kEventKey = "Event-Type: ";
constexpr const char* kNumberKey = "Sequence-Number: ";
// Keeps a .gitattributes in the captured folder from converting or filtering anything:
// the repository's own attributes file wins over the folder's.
constexpr const char* kAttributes = "* -text -ident -filter -eol\n";

struct LibGit2 {
    LibGit2() { git_libgit2_init(); }
    ~LibGit2() { git_libgit2_shutdown(); }
    LibGit2(const LibGit2&) = delete;
    LibGit2& operator=(const LibGit2&) = delete;
};

void ensureLibGit2() {
    static const LibGit2 lib;
}

struct GitFree {
    void operator()(git_repository* p) const { git_repository_free(p); }
    void operator()(git_index* p) const { git_index_free(p); }
    void operator()(git_commit* p) const { git_commit_free(p); }
    void operator()(git_tree* p) const { git_tree_free(p); }
    void operator()(git_revwalk* p) const { git_revwalk_free(p); }
    void operator()(git_signature* p) const { git_signature_free(p); }
    void operator()(git_reference* p) const { git_reference_free(p); }
    void operator()(git_config* p) const { git_config_free(p); }
};
template <class T> using Git = std::unique_ptr<T, GitFree>;

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

// The failure of the libgit2 call that just returned rc < 0.
PlatformError gitError(const std::string& what) {
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
           std::to_string(eventType) + "\n" + kNumberKey + std::to_string(number) + "\n";
}

bool isNumber(std::string_view s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

struct ParsedPoint {
    std::string description;
    unsigned long long number = 0;
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

// --- what goes into a snapshot ---------------------------------------------------------

struct Selection {
    std::string root;                  // the captured folder, ending in '/'
    std::vector<std::string> excluded; // relative to root, no trailing '/'
    std::vector<std::string> dropped;  // paths turned away, to take out of the index too
    std::vector<std::string> nested;   // folders holding a repository of their own, "name/"
};

bool hasGitComponent(std::string_view path) {
    std::size_t start = 0;
    while (start <= path.size()) {
        const auto end = path.find('/', start);
        const auto part = path.substr(start, end == std::string_view::npos ? end : end - start);
        if (part == ".git")
            return true;
        if (end == std::string_view::npos)
            break;
        start = end + 1;
    }
    return false;
}

bool keepPath(const Selection& s, const char* pathText) {
    const std::string_view path(pathText);
    // libgit2 hands over a folder holding a repository of its own as "name/".
    if (path.empty() || path.back() == '/' || hasGitComponent(path))
        return false;
    for (const auto& ex : s.excluded)
        if (path.substr(0, ex.size()) == ex && (path.size() == ex.size() || path[ex.size()] == '/'))
            return false;
    struct stat st {};
    const std::string full = s.root + std::string(path);
    if (::lstat(full.c_str(), &st) != 0)
        return true; // gone: libgit2 drops it from the index
    if (S_ISLNK(st.st_mode))
        return true; // stored as a link, never read through
    if (!S_ISREG(st.st_mode))
        return false; // sockets, FIFOs, devices
    return st.st_size <= BuiltinStore::kMaxFileSize;
}

int selectPath(const char* path, const char*, void* payload) {
    auto* s = static_cast<Selection*>(payload);
    if (keepPath(*s, path))
        return 0;
    const std::string_view p(path);
    if (!p.empty() && p.back() == '/')
        s->nested.emplace_back(path);
    else
        s->dropped.emplace_back(path);
    return 1;
}

// What `git add -A` does, in one pass over the folder: the stat cache spares unchanged
// files, deleted ones leave the index, turned-away ones leave it too.
Failure refreshIndex(git_repository* repo, git_index* index, Selection& s) {
    git_diff_options opts = GIT_DIFF_OPTIONS_INIT;
    opts.flags = GIT_DIFF_INCLUDE_UNTRACKED | GIT_DIFF_RECURSE_UNTRACKED_DIRS |
                 GIT_DIFF_INCLUDE_TYPECHANGE | GIT_DIFF_UPDATE_INDEX;
    git_diff* rawDiff = nullptr;
    if (git_diff_index_to_workdir(&rawDiff, repo, index, &opts) < 0)
        return gitError("Could not capture " + s.root);
    std::unique_ptr<git_diff, void (*)(git_diff*)> diff(rawDiff, git_diff_free);
    const std::size_t count = git_diff_num_deltas(diff.get());
    for (std::size_t i = 0; i < count; ++i) {
        const git_diff_delta* d = git_diff_get_delta(diff.get(), i);
        if (d->status == GIT_DELTA_DELETED) {
            if (git_index_remove_bypath(index, d->old_file.path) < 0)
                return gitError("Could not capture " + s.root);
            continue;
        }
        if (selectPath(d->new_file.path, nullptr, &s) != 0)
            continue;
        if (git_index_add_bypath(index, d->new_file.path) < 0)
            return gitError("Could not capture " + s.root + d->new_file.path);
    }
    for (const auto& path : s.dropped)
        if (git_index_remove_bypath(index, path.c_str()) < 0)
            return gitError("Could not capture " + s.root);
    return std::nullopt;
}

// libgit2 won't descend into a folder that holds a repository of its own (a clone of
// someone's dotfiles, say), so its files are added one by one here, its .git left out.
// These are hashed each time: the stat cache doesn't reach them.
Failure addNestedFolder(git_index* index, Selection& s, const std::string& rel) {
    DIR* dir = ::opendir((s.root + rel).c_str());
    if (!dir)
        return std::nullopt; // vanished or unreadable: nothing of it to keep
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(dir)) {
        const std::string_view name(e->d_name);
        if (name != "." && name != ".." && name != ".git")
            names.emplace_back(name);
    }
    ::closedir(dir);
    for (const auto& name : names) {
        const std::string path = rel + name; // rel ends in '/'
        struct stat st {};
        if (::lstat((s.root + path).c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            if (!keepPath(s, (path + "/x").c_str()))
                continue; // an excluded folder
            if (auto f = addNestedFolder(index, s, path + "/"))
                return f;
        } else if (keepPath(s, path.c_str())) {
            if (git_index_add_bypath(index, path.c_str()) < 0)
                return gitError("Could not capture " + s.root + path);
        }
    }
    return std::nullopt;
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
        git_config_set_bool(config.get(), "core.logallrefupdates", 0) < 0)
        return gitError("Could not write the store's settings");
    return std::nullopt;
}

Failure ensureAttributes(const std::string& repository) {
    const std::string path = repository + "/info/attributes";
    std::ifstream in(path, std::ios::binary);
    std::string current((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.is_open() && current == kAttributes)
        return std::nullopt;
    in.close();
    std::error_code ec;
    fs::create_directories(repository + "/info", ec);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return errorFromErrno(errno);
    const bool ok = std::fputs(kAttributes, f) >= 0;
    const int err = errno;
    if (std::fclose(f) != 0 || !ok)
        return errorFromErrno(ok ? errno : err);
    return std::nullopt;
}

// Opens the store; a missing one is created when `create`, else `repo` stays empty.
Failure openStore(const std::string& path, bool create, Git<git_repository>& repo) {
    ensureLibGit2();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT)
            return errorFromErrno(errno);
        if (!create)
            return std::nullopt;
        git_repository_init_options opts = GIT_REPOSITORY_INIT_OPTIONS_INIT;
        opts.flags =
            GIT_REPOSITORY_INIT_BARE | GIT_REPOSITORY_INIT_MKPATH | GIT_REPOSITORY_INIT_NO_REINIT;
        opts.initial_head = kBranch;
        opts.description = "Restore points of the configuration folder";
        git_repository* raw = nullptr;
        if (git_repository_init_ext(&raw, path.c_str(), &opts) < 0)
            return gitError("Could not create the restore point store " + path);
        repo.reset(raw);
        // Copies of the user's settings can hold secrets: keep other users out.
        if (::chmod(path.c_str(), 0700) != 0)
            return errorFromErrno(errno);
        if (auto f = setConfig(repo.get()))
            return f;
        return ensureAttributes(path);
    }
    git_repository* raw = nullptr;
    if (git_repository_open_bare(&raw, path.c_str()) < 0)
        return gitError("Could not open the restore point store " + path);
    repo.reset(raw);
    return std::nullopt;
}

struct History {
    std::vector<RestorePointRecord> points;
    unsigned long long highest = 0;
};

Failure readHistory(git_repository* repo, History& out) {
    const int unborn = git_repository_head_unborn(repo);
    if (unborn < 0)
        return gitError("Could not read the store's HEAD");
    if (unborn == 1)
        return std::nullopt;
    git_revwalk* rawWalk = nullptr;
    if (git_revwalk_new(&rawWalk, repo) < 0)
        return gitError("Could not read the restore points");
    Git<git_revwalk> walk(rawWalk);
    // Commit times have one-second precision: order by ancestry, oldest first.
    if (git_revwalk_sorting(walk.get(), GIT_SORT_TOPOLOGICAL | GIT_SORT_REVERSE) < 0 ||
        git_revwalk_push_head(walk.get()) < 0)
        return gitError("Could not read the restore points");
    git_oid id;
    int rc;
    while ((rc = git_revwalk_next(&id, walk.get())) == 0) {
        git_commit* rawCommit = nullptr;
        if (git_commit_lookup(&rawCommit, repo, &id) < 0)
            return gitError("Could not read a restore point");
        Git<git_commit> commit(rawCommit);
        const char* message = git_commit_message_raw(commit.get());
        ParsedPoint p;
        if (!message || !parseMessage(message, p))
            continue; // not one of ours
        out.highest = std::max(out.highest, p.number);
        out.points.push_back({std::to_string(p.number), std::move(p.description),
                              restorePointTime(git_commit_time(commit.get()))});
    }
    if (rc != GIT_ITEROVER)
        return gitError("Could not read the restore points");
    return std::nullopt;
}

// `folder` relative to `root` when it lies inside it, else empty.
std::string insideOf(const fs::path& root, const std::string& folder) {
    std::error_code ec;
    const fs::path f = fs::weakly_canonical(fs::absolute(folder), ec);
    if (ec)
        return {};
    const fs::path rel = f.lexically_relative(root);
    if (rel.empty() || rel == "." || *rel.begin() == "..")
        return {};
    return rel.generic_string();
}

std::string homeAbbreviated(const QString& path) {
    const QString home = QDir::homePath();
    if (!home.isEmpty() && home != "/" && (path == home || path.startsWith(home + "/")))
        return ("~" + path.mid(home.size())).toStdString();
    return path.toStdString();
}

} // namespace

BuiltinStore::BuiltinStore(Options options) : m_options(std::move(options)) {
    ensureLibGit2();
}

BuiltinStore::~BuiltinStore() = default;

BuiltinStore::Options BuiltinStore::optionsFor(const PlatformConfig& config) {
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    const QString source = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    const QString app = config.appName.empty() ? QStringLiteral("vigilorn")
                                               : QString::fromStdString(config.appName);
    const QString repository = data + "/" + app + "/restore-points.git";
    Options o;
    o.repository = repository.toStdString();
    o.source = source.toStdString();
    // The repository, and with it the rest of the data folder when it sits inside the
    // configuration folder: capturing it would capture every earlier restore point again.
    o.excluded = {o.repository, data.toStdString()};
    o.displayName = "built-in store in " + homeAbbreviated(repository);
    return o;
}

Failure BuiltinStore::createRestorePoint(const std::string& description, int restorePointType,
                                         int eventType) {
    if (description.find('\0') != std::string::npos)
        return programError(ErrorNumber::InvalidProcedureCall);

    std::error_code ec;
    const fs::path source = fs::canonical(m_options.source, ec);
    if (ec || !fs::is_directory(source, ec))
        return PlatformError{ec ? ec.value() : ENOTDIR,
                             "The folder to capture is missing: " + m_options.source};

    Git<git_repository> repo;
    if (auto f = openStore(m_options.repository, true, repo))
        return f;
    if (auto f = ensureAttributes(m_options.repository))
        return f;

    History history;
    if (auto f = readHistory(repo.get(), history))
        return f;

    Selection selection;
    selection.root = source.string() + "/";
    for (const auto& ex : m_options.excluded)
        if (auto rel = insideOf(source, ex); !rel.empty())
            selection.excluded.push_back(rel);

    if (git_repository_set_workdir(repo.get(), source.c_str(), 0) < 0)
        return gitError("Could not capture " + source.string());
    // The folder's own .gitignore files must not hide anything: this rule comes first.
    if (git_ignore_add_rule(repo.get(), "!*\n") < 0)
        return gitError("Could not capture " + source.string());
    git_index* rawIndex = nullptr;
    if (git_repository_index(&rawIndex, repo.get()) < 0)
        return gitError("Could not read the store's index");
    Git<git_index> index(rawIndex);

    // The index is only a cache of what was last seen; the restore point is the commit.
    if (auto f = refreshIndex(repo.get(), index.get(), selection))
        return f;
    for (const auto& folder : selection.nested)
        if (auto f = addNestedFolder(index.get(), selection, folder))
            return f;
    git_oid treeId;
    if (git_index_write_tree(&treeId, index.get()) < 0)
        return gitError("Could not record the captured files");
    // Saved after the tree so that its tree cache goes with it: an unchanged folder then
    // needs no tree rebuilt. A held index.lock stops us here, before anything is recorded.
    if (git_index_write(index.get()) < 0)
        return gitError("Could not save the store's index");
    git_tree* rawTree = nullptr;
    if (git_tree_lookup(&rawTree, repo.get(), &treeId) < 0)
        return gitError("Could not record the captured files");
    Git<git_tree> tree(rawTree);

    Git<git_commit> parent;
    if (git_repository_head_unborn(repo.get()) == 0) {
        git_oid headId;
        if (git_reference_name_to_id(&headId, repo.get(), "HEAD") < 0)
            return gitError("Could not read the store's HEAD");
        git_commit* rawParent = nullptr;
        if (git_commit_lookup(&rawParent, repo.get(), &headId) < 0)
            return gitError("Could not read the last restore point");
        parent.reset(rawParent);
    }

    git_signature* rawSig = nullptr;
    const std::string email = m_options.committerName + "@localhost";
    if (git_signature_now(&rawSig, m_options.committerName.c_str(), email.c_str()) < 0)
        return gitError("Could not sign the restore point");
    Git<git_signature> sig(rawSig);

    const std::string message =
        description + trailers(restorePointType, eventType, history.highest + 1);
    const git_commit* parents[] = {parent.get()};
    git_oid commitId;
    // Tree and commit are written as whole objects first; moving HEAD is the last step and
    // fails if another run moved it meanwhile.
    if (git_commit_create(&commitId, repo.get(), "HEAD", sig.get(), sig.get(), nullptr,
                          message.c_str(), tree.get(), parent ? 1 : 0, parents) < 0)
        return gitError("Could not record the restore point");
    return std::nullopt;
}

Failure BuiltinStore::listRestorePoints(std::vector<RestorePointRecord>& out) {
    Git<git_repository> repo;
    if (auto f = openStore(m_options.repository, false, repo))
        return f;
    History history;
    if (repo) {
        if (auto f = readHistory(repo.get(), history))
            return f;
    }
    out = std::move(history.points);
    return std::nullopt;
}

} // namespace vigilorn

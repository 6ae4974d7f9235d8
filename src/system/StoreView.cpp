#include "StoreView.h"

#include "StoredPoint.h"
#include "store/GitHandle.h"
#include "store/SnapshotWriter.h"

#include "platform/posix/Fd.h"
#include "platform/posix/Files.h"
#include "platform/posix/Text.h"

#include <git2.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <unordered_set>

namespace vigilorn::sys {

namespace {

constexpr const char* kBranch = "refs/heads/restore-points";
constexpr std::size_t kMaxCommits = 100'000;
constexpr std::size_t kMaxChangeFile = 4u << 20;
constexpr std::size_t kMaxPackageList = 512u << 20;

std::string keyOf(const git_oid& id) {
    return std::string(reinterpret_cast<const char*>(id.id), GIT_OID_RAWSZ);
}

// Every object below `tree`, itself included, into `out`.
void objectsOf(git_repository* repo, const git_oid& tree, std::unordered_set<std::string>& out) {
    std::vector<git_oid> todo{tree};
    while (!todo.empty()) {
        const git_oid id = todo.back();
        todo.pop_back();
        if (!out.insert(keyOf(id)).second)
            continue;
        git_tree* raw = nullptr;
        if (git_tree_lookup(&raw, repo, &id) < 0)
            continue;
        Git<git_tree> t(raw);
        for (std::size_t i = 0; i < git_tree_entrycount(t.get()); ++i) {
            const git_tree_entry* e = git_tree_entry_byindex(t.get(), i);
            if (git_tree_entry_type(e) == GIT_OBJECT_TREE)
                todo.push_back(*git_tree_entry_id(e));
            else
                out.insert(keyOf(*git_tree_entry_id(e)));
        }
    }
}

std::string blobAt(git_repository* repo, git_tree* root, const char* path, std::size_t limit) {
    git_tree_entry* entry = nullptr;
    if (git_tree_entry_bypath(&entry, root, path) < 0)
        return {};
    Git<git_tree_entry> owned(entry);
    git_blob* raw = nullptr;
    if (git_tree_entry_type(entry) != GIT_OBJECT_BLOB ||
        git_blob_lookup(&raw, repo, git_tree_entry_id(entry)) < 0)
        return {};
    Git<git_blob> blob(raw);
    const auto size = static_cast<std::size_t>(git_blob_rawsize(blob.get()));
    if (size > limit)
        return {};
    return std::string(static_cast<const char*>(git_blob_rawcontent(blob.get())), size);
}

std::uint64_t looseObjectBytes(int objects, const git_oid& id) {
    char hex[GIT_OID_HEXSZ + 1];
    git_oid_tostr(hex, sizeof hex, &id);
    const std::string path = std::string(hex, 2) + "/" + (hex + 2);
    struct stat st {};
    if (::fstatat(objects, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return 0;
    return static_cast<std::uint64_t>(st.st_blocks) * 512;
}

} // namespace

std::string poolKey(const std::string& poolFile) {
    return "pool/" + poolFile;
}

std::uint64_t diskUsage(int parent, const char* name) {
    struct stat st {};
    if (::fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return 0;
    std::uint64_t total = static_cast<std::uint64_t>(st.st_blocks) * 512;
    if (!S_ISDIR(st.st_mode))
        return total;
    const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return total;
    for (const auto& n : posix::namesIn(fd))
        total += diskUsage(fd, n.c_str());
    ::close(fd);
    return total;
}

Failure readStoreView(const std::string& repository, const PackagePool* pool, StoreView& out) {
    out = {};
    std::map<std::string, std::uint64_t> kept;
    if (pool)
        for (const auto& [file, n] : pool->contents()) {
            kept[file] = n;
            out.bytes[poolKey(file)] = n;
            out.used += n;
        }
    const auto slash = repository.rfind('/');
    const posix::Fd parent(
        ::open(repository.substr(0, slash).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    out.used += parent.valid() ? diskUsage(parent.get(), repository.substr(slash + 1).c_str()) : 0;

    const LibGit2WithoutSettings lib;
    git_repository* rawRepo = nullptr;
    if (git_repository_open_bare(&rawRepo, repository.c_str()) < 0)
        return store::gitError("Could not open the system points");
    Git<git_repository> repo(rawRepo);
    const posix::Fd objects(
        ::open((repository + "/objects").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    git_oid id;
    if (git_reference_name_to_id(&id, repo.get(), kBranch) < 0)
        return std::nullopt; // no points yet
    std::unordered_set<std::string> seenCommits;
    std::map<std::string, std::uint64_t> objectBytes;
    while (out.points.size() < kMaxCommits && seenCommits.insert(keyOf(id)).second) {
        git_commit* raw = nullptr;
        if (git_commit_lookup(&raw, repo.get(), &id) < 0)
            return store::gitError("Could not read a point");
        Git<git_commit> commit(raw);
        unsigned long long number = 0;
        if (pointNumberOf(git_commit_message_raw(commit.get()), number)) {
            PointHolding p;
            p.number = number;
            git_tree* rawTree = nullptr;
            if (git_commit_tree(&rawTree, commit.get()) < 0)
                return store::gitError("Could not read a point");
            Git<git_tree> tree(rawTree);
            std::unordered_set<std::string> own{keyOf(id)};
            objectsOf(repo.get(), *git_tree_id(tree.get()), own);
            for (const auto& key : own) {
                if (!objectBytes.count(key)) {
                    git_oid o;
                    git_oid_fromraw(&o, reinterpret_cast<const unsigned char*>(key.data()));
                    objectBytes[key] = objects.valid() ? looseObjectBytes(objects.get(), o) : 0;
                }
                p.holds.push_back(key);
            }
            ChangeRecord change;
            if (parseChangeFile(blobAt(repo.get(), tree.get(), "change.txt", kMaxChangeFile),
                                change)) {
                p.window = change.reason == "window";
                out.changes[number] = std::move(change);
            }
            std::set<std::string> names;
            poolNamesOfList(blobAt(repo.get(), tree.get(), "packages/dpkg", kMaxPackageList),
                            names);
            for (const auto& n : names)
                if (kept.count(n))
                    p.holds.push_back(poolKey(n));
            out.points.push_back(std::move(p));
        }
        if (git_commit_parentcount(commit.get()) == 0)
            break;
        id = *git_commit_parent_id(commit.get(), 0);
    }
    std::reverse(out.points.begin(), out.points.end());
    for (auto& [key, n] : objectBytes)
        out.bytes[key] = n;
    return std::nullopt;
}

} // namespace vigilorn::sys

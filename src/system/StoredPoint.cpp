#include "StoredPoint.h"

#include "platform/posix/Text.h"
#include "store/LeftOutList.h"

#include "store/BuiltinStore.h"
#include "store/GitHandle.h"
#include "store/SnapshotWriter.h"

#include <git2.h>

#include <cerrno>
#include <charconv>
#include <unordered_set>

namespace vigilorn::sys {

namespace {

constexpr const char* kBranch = "refs/heads/restore-points";
constexpr const char* kNumberKey = "\nSequence-Number: ";
constexpr std::size_t kMaxCommits = 100'000;
constexpr int kMaxDepth = store::kMaxDepth + 2;

PlatformError bad(const std::string& what) {
    return PlatformError{EINVAL, "The system point is damaged: " + what};
}

// The branch's commits, newest first.
Failure commits(git_repository* repo, std::vector<git_oid>& out) {
    git_oid id;
    if (git_reference_name_to_id(&id, repo, kBranch) < 0)
        return store::gitError("The store has no points");
    std::unordered_set<std::string> seen;
    while (out.size() < kMaxCommits) {
        if (!seen.insert(std::string(reinterpret_cast<const char*>(id.id), GIT_OID_RAWSZ)).second)
            break;
        out.push_back(id);
        git_commit* raw = nullptr;
        if (git_commit_lookup(&raw, repo, &id) < 0)
            return store::gitError("Could not read a point");
        Git<git_commit> commit(raw);
        if (git_commit_parentcount(commit.get()) == 0)
            break;
        id = *git_commit_parent_id(commit.get(), 0);
    }
    return std::nullopt;
}

// The points' repository and its commits, as commits() gives them.
Failure openPoints(const std::string& repository, Git<git_repository>& repo,
                   std::vector<git_oid>& ids) {
    git_repository* raw = nullptr;
    if (git_repository_open_bare(&raw, repository.c_str()) < 0)
        return store::gitError("Could not open the system points");
    repo.reset(raw);
    return commits(repo.get(), ids);
}

Failure blobText(git_repository* repo, const git_oid& id, std::uint64_t& budget, std::string& out) {
    git_blob* raw = nullptr;
    if (git_blob_lookup(&raw, repo, &id) < 0)
        return store::gitError("Could not read a file of the point");
    Git<git_blob> blob(raw);
    const auto size = static_cast<std::uint64_t>(git_blob_rawsize(blob.get()));
    if (size > budget)
        return PlatformError{EFBIG, "The system point is larger than a restore can take"};
    budget -= size;
    out.assign(static_cast<const char*>(git_blob_rawcontent(blob.get())), size);
    return std::nullopt;
}

Failure walk(git_repository* repo, const git_oid& treeId, const std::string& path, int depth,
             std::uint64_t& budget, std::map<std::string, StoredEntry>& out) {
    if (depth > kMaxDepth)
        return bad(path + " is too deep");
    git_tree* raw = nullptr;
    if (git_tree_lookup(&raw, repo, &treeId) < 0)
        return store::gitError("Could not read a folder of the point");
    Git<git_tree> tree(raw);
    out[path] = StoredEntry{StoredEntry::Type::Folder, false, {}};
    for (std::size_t i = 0; i < git_tree_entrycount(tree.get()); ++i) {
        const git_tree_entry* e = git_tree_entry_byindex(tree.get(), i);
        const std::string_view name = git_tree_entry_name(e);
        if (!validName(name))
            return bad("an entry of " + path + " has the name \"" + std::string(name) + "\"");
        const std::string child = path + '/' + std::string(name);
        const git_oid* id = git_tree_entry_id(e);
        switch (git_tree_entry_filemode(e)) {
        case GIT_FILEMODE_TREE:
            if (auto f = walk(repo, *id, child, depth + 1, budget, out))
                return f;
            break;
        case GIT_FILEMODE_BLOB:
        case GIT_FILEMODE_BLOB_EXECUTABLE:
        case GIT_FILEMODE_LINK: {
            StoredEntry entry;
            entry.type = git_tree_entry_filemode(e) == GIT_FILEMODE_LINK ? StoredEntry::Type::Link
                                                                         : StoredEntry::Type::File;
            entry.executable = git_tree_entry_filemode(e) == GIT_FILEMODE_BLOB_EXECUTABLE;
            if (auto f = blobText(repo, *id, budget, entry.data))
                return f;
            if (entry.type == StoredEntry::Type::Link &&
                (entry.data.empty() || entry.data.find('\0') != std::string::npos))
                return bad(child + " is a link to nothing");
            out[child] = std::move(entry);
            break;
        }
        default:
            return bad(child + " is neither a file, a link nor a folder");
        }
    }
    return std::nullopt;
}

const git_tree_entry* entryAt(git_tree* root, const char* path, git_tree_entry*& owned) {
    owned = nullptr;
    if (git_tree_entry_bypath(&owned, root, path) < 0)
        return nullptr;
    return owned;
}

} // namespace

bool pointNumberOf(const char* message, unsigned long long& out) {
    if (!message)
        return false;
    const std::string_view m(message);
    const auto at = m.rfind(kNumberKey);
    if (at == std::string_view::npos)
        return false;
    std::string_view rest = m.substr(at + std::string_view(kNumberKey).size());
    rest = rest.substr(0, rest.find('\n'));
    return posix::parseDecimal(rest, out);
}

bool validName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

bool validPointPath(std::string_view path) {
    if (path.substr(0, 3) != "etc" || (path.size() > 3 && path[3] != '/'))
        return false;
    if (path.size() == 3)
        return true;
    std::string_view rest = path.substr(4);
    while (true) {
        const auto slash = rest.find('/');
        if (!validName(rest.substr(0, slash)))
            return false;
        if (slash == std::string_view::npos)
            return true;
        rest.remove_prefix(slash + 1);
    }
}

Failure readStoredPoint(const std::string& repository, unsigned long long number,
                        std::uint64_t maxBytes, StoredPoint& out) {
    out = {};
    const LibGit2WithoutSettings lib;
    Git<git_repository> repo;
    std::vector<git_oid> ids;
    if (auto f = openPoints(repository, repo, ids))
        return f;
    for (const auto& id : ids) {
        git_commit* raw = nullptr;
        if (git_commit_lookup(&raw, repo.get(), &id) < 0)
            continue;
        Git<git_commit> commit(raw);
        unsigned long long n = 0;
        if (!pointNumberOf(git_commit_message_raw(commit.get()), n) || n != number)
            continue;
        out.number = n;
        const char* summary = git_commit_summary(commit.get());
        out.description = summary ? summary : "";
        git_tree* rawTree = nullptr;
        if (git_commit_tree(&rawTree, commit.get()) < 0)
            return store::gitError("Could not read the point");
        Git<git_tree> root(rawTree);
        std::uint64_t budget = maxBytes;
        git_tree_entry* owned = nullptr;

        const git_tree_entry* packages = entryAt(root.get(), "packages/dpkg", owned);
        Git<git_tree_entry> ownedPackages(owned);
        if (!packages || git_tree_entry_type(packages) != GIT_OBJECT_BLOB)
            return bad("it has no package list");
        if (auto f = blobText(repo.get(), *git_tree_entry_id(packages), budget, out.packages))
            return f;

        const git_tree_entry* ownersEntry = entryAt(root.get(), "etc-owners.txt", owned);
        Git<git_tree_entry> ownedOwners(owned);
        std::string ownersText;
        std::vector<store::OwnerEntry> owners;
        if (!ownersEntry || git_tree_entry_type(ownersEntry) != GIT_OBJECT_BLOB)
            return bad("it has no owners of /etc");
        if (auto f = blobText(repo.get(), *git_tree_entry_id(ownersEntry), budget, ownersText))
            return f;
        if (!store::parseOwnerManifest(ownersText, owners))
            return bad("its owners of /etc do not parse");
        for (auto& o : owners) {
            if (!validPointPath(o.path))
                return bad("its owners name \"" + o.path + "\"");
            const std::string key = o.path;
            out.owners[key] = std::move(o);
        }

        const git_tree_entry* leftEntry = entryAt(root.get(), "left-out.txt", owned);
        Git<git_tree_entry> ownedLeft(owned);
        if (leftEntry && git_tree_entry_type(leftEntry) == GIT_OBJECT_BLOB) {
            std::string text;
            if (auto f = blobText(repo.get(), *git_tree_entry_id(leftEntry), budget, text))
                return f;
            for (auto& left : store::parseLeftOutList(text))
                out.leftOut.insert(std::move(left.path));
        }

        const git_tree_entry* etc = git_tree_entry_byname(root.get(), "etc");
        if (!etc || git_tree_entry_filemode(etc) != GIT_FILEMODE_TREE)
            return bad("its /etc is not a folder");
        return walk(repo.get(), *git_tree_entry_id(etc), "etc", 0, budget, out.etc);
    }
    return PlatformError{ENOENT, "There is no system point " + std::to_string(number)};
}

Failure readPackageLists(const std::string& repository, std::vector<std::string>& out) {
    out.clear();
    const LibGit2WithoutSettings lib;
    Git<git_repository> repo;
    std::vector<git_oid> ids;
    if (auto f = openPoints(repository, repo, ids))
        return f;
    std::unordered_set<std::string> seen;
    for (const auto& id : ids) {
        git_commit* raw = nullptr;
        if (git_commit_lookup(&raw, repo.get(), &id) < 0)
            return store::gitError("Could not read a point");
        Git<git_commit> commit(raw);
        git_tree* rawTree = nullptr;
        if (git_commit_tree(&rawTree, commit.get()) < 0)
            return store::gitError("Could not read a point");
        Git<git_tree> root(rawTree);
        git_tree_entry* owned = nullptr;
        const git_tree_entry* packages = entryAt(root.get(), "packages/dpkg", owned);
        Git<git_tree_entry> ownedPackages(owned);
        if (!packages)
            continue;
        const git_oid* blobId = git_tree_entry_id(packages);
        if (!seen.insert(std::string(reinterpret_cast<const char*>(blobId->id), GIT_OID_RAWSZ))
                 .second)
            continue;
        std::uint64_t budget = 512ull << 20;
        std::string text;
        if (auto f = blobText(repo.get(), *blobId, budget, text))
            return f;
        out.push_back(std::move(text));
    }
    return std::nullopt;
}

} // namespace vigilorn::sys

#pragma once
// The tree of one built-in restore point: the package lists, /etc, the configuration folder
// and the list of what had to be left out of them.
#include "LeftOutList.h"
#include "platform/PlatformError.h"

#include <git2.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vigilorn::store {

struct Sources {
    std::string dpkgStatus;
    std::string flatpakSystem;
    std::string flatpakUser;
    std::string etc;
    std::string config;
    std::vector<std::string> excluded; // absolute folders never captured
    // The root side's points: etc-owners.txt, and files of its own at the top of the point.
    bool etcOwners = false;
    std::vector<std::pair<std::string, std::string>> extraFiles; // (name, content)
};

// What a file looked like when its blob was written: one that still looks the same is not
// read again.
struct FileStamp {
    std::uint64_t dev = 0, ino = 0, size = 0;
    std::int64_t mtimeSec = 0, mtimeNsec = 0, ctimeSec = 0, ctimeNsec = 0;
    std::uint32_t mode = 0;
    bool operator==(const FileStamp&) const = default;
};

// Keyed by the file's absolute path. Only a hint: a missing or damaged cache means every
// file is read again.
class StatCache {
public:
    struct Entry {
        FileStamp stamp;
        git_oid id;
    };
    void load(const std::string& path);
    Failure save(const std::string& path) const;
    const Entry* find(const std::string& path, const FileStamp& stamp) const;
    void put(const std::string& path, const FileStamp& stamp, const git_oid& id);
    std::size_t size() const { return m_entries.size(); }

    git_oid tree{}; // the tree the entries were last written into
    bool haveTree = false;

private:
    std::unordered_map<std::string, Entry> m_entries;
};

struct Snapshot {
    git_oid tree{};
    std::vector<LeftOut> leftOut;
};

inline constexpr std::int64_t kMaxFileSize = 16 * 1024 * 1024;
// Folders below a part's top folder; anything deeper is left out.
inline constexpr int kMaxDepth = 64;

// Writes every blob and tree of a point. `previous` is trusted without checking that its
// blobs exist only when `trustPrevious`. Fails only when the store can't be written.
Failure writeSnapshot(git_repository* repo, const Sources& sources, const StatCache& previous,
                      bool trustPrevious, StatCache& next, Snapshot& out);

// `name\tarch\tversion\tstatus\n` per stanza of a dpkg status file, sorted by name and arch.
std::string dpkgPackageList(std::string_view status);

// The failure of the libgit2 call that just returned < 0: errno when the system refused,
// else 9200 plus libgit2's error class.
PlatformError gitError(const std::string& what);

// Reports a loose object that exists but can't be read whole, and moves it to the store's
// damaged/ folder, so that it can be written again.
void setAsideDamaged(git_repository* repo, const git_oid& id);

} // namespace vigilorn::store

#pragma once
// A way of keeping the installed version of a package a change replaces, as a .deb in the
// pool. The pool tries its ways in order, quick ones first; a second way (or a second package
// system's) is one more class here, not another branch in the pool.
#include "Staging.h"
#include "platform/posix/Fd.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vigilorn::sys {

enum class KeepResult { Kept, AlreadyKept, TooBig, TooSlow, NotInstalled, Failed };

// The installed version to keep, as dpkg's status names it.
struct KeepTarget {
    std::string name, version, arch;
    std::int64_t kib = 0;    // its Installed-Size
    std::string_view stanza; // its stanza of dpkg's status file, while that is read
};

// Where a way puts its file: `file` in the open pool folder, made there under a temporary name
// and renamed only once `verify` says it is that version.
struct PoolPlace {
    int folder = -1;
    std::string path;
    uid_t owner = 0; // whose files are trusted in it
    std::function<bool(const std::string& path, const KeepTarget&)> verify;

    // A regular file of the pool's owner, not a link.
    bool holdsFile(const std::string& name) const;
};

class KeepWay {
public:
    virtual ~KeepWay() = default;
    // What kept-packages.txt says of a package this way kept.
    virtual const char* name() const = 0;
    // Quick ways are tried one after another; slow ones a few at once, within the change's time.
    virtual bool quick() const = 0;
    // Refused before trying (too big for this way), or nothing.
    virtual std::optional<KeepResult> refuses(const KeepTarget&) const { return std::nullopt; }
    // Kept as `file`, or why not; at most `cap` long.
    virtual KeepResult keep(const KeepTarget& target, const std::string& file,
                            const PoolPlace& pool, std::chrono::milliseconds cap,
                            unsigned worker) const = 0;
};

// APT's own cached copy, hard-linked into the pool.
std::unique_ptr<KeepWay> aptCachedCopy(std::string archives);
// Staged by hard links, the .deb built later (Staging.h).
std::unique_ptr<KeepWay> stagedByLinks(StageSources sources);
// Rebuilt from the installed files by dpkg-repack, in a folder of the pool of its own.
std::unique_ptr<KeepWay> dpkgRepack(std::string repack, std::int64_t maxKiB);

} // namespace vigilorn::sys

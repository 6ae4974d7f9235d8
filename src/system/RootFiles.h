#pragma once
// Files of the root-owned folder, opened without following links and written whole.
#include "platform/PlatformError.h"
#include "platform/posix/Fd.h"

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>

namespace vigilorn::sys {

PlatformError failure(int err, const std::string& what);

// A folder only root may change: made `mode` when missing and `create`, refused when it is a
// link, another user's, or writable by others.
Failure openRootFolder(int parent, const std::string& name, const std::string& shown, mode_t mode,
                       posix::Fd& out, bool create = true);

// An absolute folder whose parent is opened as given and the folder itself by openRootFolder.
Failure openRootPath(const std::string& folder, mode_t mode, posix::Fd& out, bool create = true);

// A small regular file of a trusted folder, or nothing when it is missing, too large, not a
// file, or (with rootOwned) not root's.
std::optional<std::string> readSmall(int dir, const char* name, std::int64_t limit,
                                     bool rootOwned = false);

// Temp file, fsync, rename, then the folder synced: the old or the new file, never half.
Failure replaceFile(int dir, const std::string& name, const std::string& text, mode_t mode);

// flock() on `name` in the folder, waited for at most `waitSeconds`.
class FolderLock {
public:
    Failure acquire(int dir, const char* name, int waitSeconds, const std::string& busy);

private:
    posix::Fd m_fd;
};

} // namespace vigilorn::sys

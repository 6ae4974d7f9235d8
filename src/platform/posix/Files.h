#pragma once
// Files and folders read and written the one careful way: bounded, without following links when
// asked, and replaced whole.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace vigilorn::posix {

// How a file is opened and what it must be.
enum ReadFlags : unsigned {
    kFollowLinks = 0,
    kNoFollow = 1u << 0,  // a link as the last part of the name is refused (O_NOFOLLOW)
    kRootOwned = 1u << 1, // a file root does not own is refused
};

enum class ReadFailure {
    None,
    Missing,      // no such file, or a folder on the way is missing
    Link,         // a link where none may be
    NotAFile,     // a folder, a device, a pipe: nothing to read whole
    NotRootOwned, // with kRootOwned
    TooLarge,     // more than the limit; the text is empty
    Failed,       // any other error; errorNumber says which
};

struct FileRead {
    std::string text;
    ReadFailure failure = ReadFailure::None;
    int errorNumber = 0; // errno when the system refused, else 0
    bool ok() const { return failure == ReadFailure::None; }
};

// A regular file of the folder `dir` (AT_FDCWD for the working folder, or a path) read whole, at
// most `limit` bytes. Read to its end rather than by its stated size, which /proc's files give as
// 0. Never blocks on a pipe put in its place.
FileRead readFile(int dir, const std::string& name, std::size_t limit, unsigned flags = kNoFollow);

// The reason in words, for messages and logs.
const char* failureName(ReadFailure failure);

// All of `text` written, through short writes and interruptions; 0 or the errno.
int writeAll(int fd, std::string_view text);

// `name` in the open folder `dir` replaced by `text`: a temporary beside it, written, synced and
// renamed over it, then the folder synced, so that a crash leaves the old file or the new one,
// never half. Links are not followed. 0 or the errno; the temporary is gone either way.
int replaceFile(int dir, const std::string& name, std::string_view text, mode_t mode);

// Which file system an entry belongs to, as the places it is mounted tell apart: the kernel's
// mount id of `name` in `dir` ("" for `dir` itself), links not followed. Without mount ids
// (kernels before 5.8), a folder's device; nothing for other entries, which then count as their
// folder's. Overlayfs gives files the device of the layer below, so devices alone would split
// one mount.
std::optional<std::uint64_t> mountOf(int dir, const char* name);

// The names in an open folder, "." and ".." left out; nothing when it can't be read. Read
// through a descriptor of its own, so the caller's is left as it was. At most `limit` entries
// are read, for folders others can fill.
std::vector<std::string> namesIn(int dir, std::size_t limit = SIZE_MAX);

} // namespace vigilorn::posix

#pragma once
// etc-owners.txt of a system point: the owner, group and mode of every /etc entry, which git
// itself can't keep.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vigilorn::store {

struct OwnerEntry {
    std::uint32_t mode = 0; // st_mode, the file type included
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    std::string path; // as in the point, e.g. etc/shadow
    bool operator==(const OwnerEntry&) const = default;
};

// One line per entry, sorted by path: "<octal mode> <uid> <gid> <path>\n". The path is ASCII:
// a backslash is "\\", any other byte outside 0x20..0x7e "\xHH".
std::string ownerManifest(std::vector<OwnerEntry> entries);

// False, with `out` empty, when any line is malformed: a restore must not act on half a list.
bool parseOwnerManifest(std::string_view text, std::vector<OwnerEntry>& out);

} // namespace vigilorn::store

#pragma once
// Points the administrator pinned: never pruned to make room, by count or by space. Kept as
// one number a line in a root-owned file of the store's folder, readable by every user.
#include "platform/PlatformError.h"

#include <cstddef>
#include <set>
#include <string>
#include <string_view>

namespace vigilorn::sys {

inline constexpr const char* kPinsFileName = "pins";
// More than any store holds points.
inline constexpr std::size_t kMaxPins = 1000;

// Lines that are not a point's number are skipped; at most kMaxPins.
std::set<unsigned long long> parsePins(std::string_view text);
std::string formatPins(const std::set<unsigned long long>& pins);

// The pins of the store whose folder `storeFolder` is open; none when the file is missing,
// too large or not root's.
std::set<unsigned long long> readPins(int storeFolder);

// `pin N` and `unpin N`: pinning needs the point in the store; unpinning a point that is gone
// is no error. `folder` is the store's folder.
Failure setPinned(const std::string& folder, unsigned long long number, bool pinned,
                  int lockWaitSeconds = 100);

} // namespace vigilorn::sys

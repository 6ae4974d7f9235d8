#pragma once
// points.list: the system points, readable by every user, written by the root side and read by
// the program. Plain C++ so that both sides share one format.
#include "PackageAction.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vigilorn {

inline constexpr const char* kSystemPointFolder = "/var/lib/qmvigilorn";
inline constexpr const char* kSystemPointListName = "points.list";
// Actions written per point; the rest are counted as "+N more".
inline constexpr std::size_t kSystemPointListActions = 50;

struct SystemPoint {
    unsigned long long number = 0;
    std::string creationTime; // YYYYMMDDHHMMSS.ffffff+000, UTC
    std::string description;  // no tab, newline or other control character
    std::vector<PackageAction> actions;
    std::size_t moreActions = 0; // left out of `actions`
    bool operator==(const SystemPoint&) const = default;
};

// One line per point: number TAB time TAB description TAB actions, the actions written as
// "name:old>new:kind" separated by single spaces, then " +N more" when some were left out.
// Control characters of a description become spaces; actions past the bound are counted.
std::string formatSystemPointList(const std::vector<SystemPoint>& points);

// Lines that do not parse are skipped.
std::vector<SystemPoint> parseSystemPointList(std::string_view text);

} // namespace vigilorn

#pragma once
// The room the system points take: a budget for the store and its kept packages together, a
// floor of free space they never push the file system under, and which points go first when
// a new one would cross either. Set in a root-owned configuration file.
#include "platform/SystemPointSizes.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vigilorn::sys {

inline constexpr const char* kSystemConfig = "/etc/qmvigilorn/system.conf";

struct SpaceSettings {
    // The budget: a share of the file system holding the store, at most `budgetCap`; or
    // `budgetBytes` when set.
    unsigned budgetPercent = 10;
    std::uint64_t budgetCap = 8ull << 30;
    std::optional<std::uint64_t> budgetBytes;
    // Free space left on that file system: a share of it, or `floorBytes` when set.
    unsigned floorPercent = 5;
    std::optional<std::uint64_t> floorBytes;
    // Points kept by count: those of the hooks and restores, and the window's on their own.
    unsigned points = 50;
    unsigned windowPoints = 10;

    std::uint64_t budget(std::uint64_t fileSystemBytes) const;
    std::uint64_t floor(std::uint64_t fileSystemBytes) const;
};

// "key = value" lines, '#' comments: budget (N% or a size such as 2G, 512M), floor (the same),
// points, window-points. `problems` gets a line for each one that was not understood, which
// then keeps its default.
SpaceSettings parseSpaceSettings(std::string_view text, std::vector<std::string>& problems);

// The settings of `path`, when root owns it and nobody else may write it (nor its folder); the
// defaults otherwise, with why in `problems` unless the file is simply absent.
SpaceSettings readSpaceSettings(const std::string& path, std::vector<std::string>& problems);

// One point as the planner sees it, oldest first.
struct PointHolding {
    unsigned long long number = 0;
    bool window = false;
    bool kept = false;              // pinned, or the one being restored: never goes
    std::vector<std::string> holds; // keys of what it needs: kept packages, stored objects
};

struct SpacePlan {
    std::set<unsigned long long> drop; // the points that go, by count or by space
    bool fits = true;                  // the new point's packages fit once they went
};

struct SpaceNeed {
    bool newIsWindow = false;
    std::uint64_t newBytes = 0;        // what the new point adds
    std::vector<std::string> newHolds; // what it needs of what is there
    std::uint64_t used = 0;            // what the store and pool take now
    std::uint64_t budget = 0;
    std::uint64_t freeBytes = 0; // free on the file system now
    std::uint64_t floor = 0;
};

// Which points go for a new one: past the count of its kind first, then the oldest, while the
// store would cross the budget or the floor. A window point only ever makes other window
// points go; the newest point and kept ones never go.
SpacePlan planSpace(const std::vector<PointHolding>& points,
                    const std::map<std::string, std::uint64_t>& bytes,
                    const SpaceSettings& settings, const SpaceNeed& need);

// What each point alone holds and the total, from the same view.
SystemPointSizes pointSizes(const std::vector<PointHolding>& points,
                            const std::map<std::string, std::uint64_t>& bytes);

} // namespace vigilorn::sys

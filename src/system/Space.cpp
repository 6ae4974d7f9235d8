#include "Space.h"

#include "platform/posix/Fd.h"
#include "platform/posix/Files.h"
#include "platform/posix/Text.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>

namespace vigilorn::sys {

namespace {

constexpr std::size_t kMaxConfig = 64 * 1024;

// "10%" as a share, "2G", "512M", "64K" or plain bytes as a size.
bool parseAmount(std::string_view text, std::optional<unsigned>& percent,
                 std::optional<std::uint64_t>& bytes) {
    if (text.empty())
        return false;
    if (text.back() == '%') {
        unsigned p = 0;
        if (!posix::parseDecimal(text.substr(0, text.size() - 1), p, 100u))
            return false;
        percent = p;
        bytes.reset();
        return true;
    }
    std::uint64_t unit = 1;
    switch (text.back()) {
    case 'K':
        unit = 1ull << 10;
        break;
    case 'M':
        unit = 1ull << 20;
        break;
    case 'G':
        unit = 1ull << 30;
        break;
    case 'T':
        unit = 1ull << 40;
        break;
    default:
        break;
    }
    if (unit != 1)
        text.remove_suffix(1);
    std::uint64_t n = 0;
    if (!posix::parseDecimal(text, n, std::uint64_t{1ull << 60} / unit))
        return false;
    bytes = n * unit;
    percent.reset();
    return true;
}

std::uint64_t share(std::uint64_t whole, unsigned percent) {
    return whole / 100 * percent + whole % 100 * percent / 100;
}

} // namespace

std::uint64_t SpaceSettings::budget(std::uint64_t fs) const {
    if (budgetBytes)
        return *budgetBytes;
    return std::min(share(fs, budgetPercent), budgetCap);
}

std::uint64_t SpaceSettings::floor(std::uint64_t fs) const {
    return floorBytes ? *floorBytes : share(fs, floorPercent);
}

SpaceSettings parseSpaceSettings(std::string_view text, std::vector<std::string>& problems) {
    SpaceSettings s;
    int number = 0;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        ++number;
        line = posix::trim(line.substr(0, line.find('#')));
        if (line.empty())
            continue;
        const auto eq = line.find('=');
        const std::string_view key = posix::trim(line.substr(0, eq));
        const std::string_view value =
            eq == std::string_view::npos ? std::string_view{} : posix::trim(line.substr(eq + 1));
        bool ok = eq != std::string_view::npos;
        if (ok && key == "budget") {
            std::optional<unsigned> percent;
            std::optional<std::uint64_t> bytes;
            ok = parseAmount(value, percent, bytes);
            if (ok) {
                s.budgetBytes = bytes;
                if (percent) {
                    s.budgetPercent = *percent;
                    s.budgetCap = ~0ull;
                }
            }
        } else if (ok && key == "floor") {
            std::optional<unsigned> percent;
            std::optional<std::uint64_t> bytes;
            ok = parseAmount(value, percent, bytes);
            if (ok) {
                s.floorBytes = bytes;
                if (percent)
                    s.floorPercent = *percent;
            }
        } else if (ok && key == "points") {
            ok = posix::parseDecimal(value, s.points, 100'000u) && s.points > 0;
        } else if (ok && key == "window-points") {
            ok = posix::parseDecimal(value, s.windowPoints, 100'000u) && s.windowPoints > 0;
        } else {
            ok = false;
        }
        if (!ok) {
            problems.push_back("line " + std::to_string(number) + " is not understood");
            const SpaceSettings defaults;
            if (key == "points")
                s.points = defaults.points;
            else if (key == "window-points")
                s.windowPoints = defaults.windowPoints;
        }
    }
    return s;
}

SpaceSettings readSpaceSettings(const std::string& path, std::vector<std::string>& problems) {
    const auto slash = path.rfind('/');
    const posix::Fd folder(
        ::open(path.substr(0, slash).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st {};
    const std::string name = path.substr(slash + 1);
    if (!folder.valid() || ::fstatat(folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return {};
    struct stat dir {};
    if (::fstat(folder.get(), &dir) != 0 || dir.st_uid != 0 ||
        (dir.st_mode & (S_IWGRP | S_IWOTH))) {
        problems.push_back(path + ": its folder may be changed by others; the defaults are used");
        return {};
    }
    const auto read =
        posix::readFile(folder.get(), name, kMaxConfig, posix::kNoFollow | posix::kRootOwned);
    if (!read.ok() || (st.st_mode & (S_IWGRP | S_IWOTH))) {
        problems.push_back(path + " is not a file only root may change; the defaults are used");
        return {};
    }
    std::vector<std::string> lines;
    const SpaceSettings s = parseSpaceSettings(read.text, lines);
    for (const auto& l : lines)
        problems.push_back(path + ": " + l);
    return s;
}

SpacePlan planSpace(const std::vector<PointHolding>& points,
                    const std::map<std::string, std::uint64_t>& bytes,
                    const SpaceSettings& settings, const SpaceNeed& need) {
    SpacePlan plan;
    const std::size_t newest = points.empty() ? 0 : points.size() - 1;
    auto mayGo = [&](std::size_t i) {
        return i != newest && !points[i].kept && !plan.drop.count(points[i].number) &&
               (!need.newIsWindow || points[i].window);
    };
    // By count: each kind keeps its newest, the new point among them.
    for (const bool window : {false, true}) {
        const unsigned quota = window ? settings.windowPoints : settings.points;
        std::size_t of = (need.newIsWindow == window) ? 1 : 0;
        for (std::size_t i = points.size(); i-- > 0;) {
            if (points[i].window != window)
                continue;
            if (++of > quota && mayGo(i))
                plan.drop.insert(points[i].number);
        }
    }
    // By space: what each point's going frees is what no remaining point (or the new one)
    // still needs.
    std::map<std::string, unsigned> users;
    for (const auto& key : need.newHolds)
        ++users[key];
    for (const auto& p : points)
        if (!plan.drop.count(p.number))
            for (const auto& key : p.holds)
                ++users[key];
    std::uint64_t used = need.used, freeBytes = need.freeBytes;
    std::set<std::string> freed;
    auto freeIfUnused = [&](const std::string& key) {
        if (users[key] != 0 || !freed.insert(key).second)
            return;
        const auto b = bytes.find(key);
        const std::uint64_t n = b == bytes.end() ? 0 : b->second;
        used -= std::min(used, n);
        freeBytes += n;
    };
    for (const auto& p : points)
        if (plan.drop.count(p.number))
            for (const auto& key : p.holds)
                freeIfUnused(key);
    auto release = [&](const PointHolding& p) {
        for (const auto& key : p.holds) {
            --users[key];
            freeIfUnused(key);
        }
    };
    auto over = [&] {
        return used + need.newBytes > need.budget || freeBytes < need.floor + need.newBytes;
    };
    for (std::size_t i = 0; i < points.size() && over(); ++i)
        if (mayGo(i)) {
            plan.drop.insert(points[i].number);
            release(points[i]);
        }
    plan.fits = !over();
    return plan;
}

SystemPointSizes pointSizes(const std::vector<PointHolding>& points,
                            const std::map<std::string, std::uint64_t>& bytes) {
    SystemPointSizes sizes;
    std::map<std::string, unsigned> users;
    for (const auto& p : points)
        for (const auto& key : p.holds)
            ++users[key];
    for (const auto& [key, n] : bytes)
        sizes.total += n;
    for (const auto& p : points) {
        std::uint64_t alone = 0;
        for (const auto& key : p.holds)
            if (users[key] == 1)
                if (const auto b = bytes.find(key); b != bytes.end())
                    alone += b->second;
        sizes.alone[p.number] = alone;
    }
    return sizes;
}

} // namespace vigilorn::sys

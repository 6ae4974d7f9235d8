#include "Pins.h"

#include "RootFiles.h"
#include "platform/SystemPointList.h"
#include "platform/posix/Files.h"
#include "platform/posix/Text.h"

#include <cerrno>
#include <fcntl.h>

namespace vigilorn::sys {

namespace {

constexpr std::size_t kMaxPinsFile = kMaxPins * 24;
constexpr std::size_t kMaxListSize = 16 * 1024 * 1024;

} // namespace

std::set<unsigned long long> parsePins(std::string_view text) {
    std::set<unsigned long long> pins;
    while (!text.empty() && pins.size() < kMaxPins) {
        const auto end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        unsigned long long n = 0;
        if (posix::parseDecimal(line, n) && n > 0)
            pins.insert(n);
    }
    return pins;
}

std::string formatPins(const std::set<unsigned long long>& pins) {
    std::string text;
    for (const auto n : pins)
        text += std::to_string(n) + '\n';
    return text;
}

std::set<unsigned long long> readPins(int storeFolder) {
    const auto read = posix::readFile(storeFolder, kPinsFileName, kMaxPinsFile,
                                      posix::kNoFollow | posix::kRootOwned);
    return read.ok() ? parsePins(read.text) : std::set<unsigned long long>{};
}

Failure setPinned(const std::string& folder, unsigned long long number, bool pinned,
                  int lockWaitSeconds) {
    posix::Fd root;
    if (auto f = openRootPath(folder, 0755, root, false))
        return f;
    FolderLock lock;
    if (auto f = lock.acquire(root.get(), "lock", lockWaitSeconds,
                              "A system point is being made; try again"))
        return f;
    auto pins = readPins(root.get());
    if (pinned) {
        // points.list is rebuilt from the store with every point: what it names is there.
        const auto list = posix::readFile(root.get(), kSystemPointListName, kMaxListSize,
                                          posix::kNoFollow | posix::kRootOwned);
        bool found = false;
        for (const auto& p : parseSystemPointList(list.ok() ? list.text : std::string()))
            found = found || p.number == number;
        if (!found)
            return PlatformError{ENOENT, "There is no system point " + std::to_string(number)};
        if (pins.size() >= kMaxPins && !pins.count(number))
            return PlatformError{ENOSPC, "Too many points are pinned"};
        pins.insert(number);
    } else {
        pins.erase(number);
    }
    if (const int e = posix::replaceFile(root.get(), kPinsFileName, formatPins(pins), 0644))
        return failure(e, "Could not write the pins");
    return std::nullopt;
}

} // namespace vigilorn::sys

#include "SystemPointSizes.h"

#include "platform/posix/Text.h"

#include <cstdio>

namespace vigilorn {

std::string formatSystemPointSizes(const SystemPointSizes& sizes) {
    std::string text;
    for (const auto& [number, bytes] : sizes.alone)
        text += std::to_string(number) + '\t' + std::to_string(bytes) + '\n';
    text += "total\t" + std::to_string(sizes.total) + '\n';
    text += "budget\t" + std::to_string(sizes.budget) + '\n';
    return text;
}

SystemPointSizes parseSystemPointSizes(std::string_view text) {
    SystemPointSizes out;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        const auto tab = line.find('\t');
        std::uint64_t bytes = 0;
        if (tab == std::string_view::npos || !posix::parseDecimal(line.substr(tab + 1), bytes))
            continue;
        const std::string_view key = line.substr(0, tab);
        unsigned long long number = 0;
        if (key == "total")
            out.total = bytes;
        else if (key == "budget")
            out.budget = bytes;
        else if (posix::parseDecimal(key, number) && number > 0)
            out.alone[number] = bytes;
    }
    return out;
}

std::string formatBytes(std::uint64_t bytes) {
    static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024)
        return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    double value = static_cast<double>(bytes) / 1024;
    int unit = 0;
    while (value >= 1024 && unit < 3) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, value < 10 ? "%.1f %s" : "%.0f %s", value, kUnits[unit]);
    return text;
}

} // namespace vigilorn

#pragma once
// What the point maker prints for the hook: the point's number, then, when some replaced
// packages could not be kept, how many:
//   "N\n" or "N\nnot kept K\n", N 1 to 19 digits, K 1 to 19 digits and not 0.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vigilorn::sys {

inline constexpr std::size_t kMaxMakerOutput = 64;
inline constexpr std::string_view kNotKeptWords = "not kept ";

struct MakerOutput {
    std::uint64_t number = 0;
    std::uint64_t notKept = 0;
};

inline std::string makerOutputText(const MakerOutput& out) {
    std::string text = std::to_string(out.number) + '\n';
    if (out.notKept > 0)
        text += std::string(kNotKeptWords) + std::to_string(out.notKept) + '\n';
    return text;
}

namespace detail {

inline std::optional<std::uint64_t> parseDecimal(std::string_view text) {
    if (text.empty() || text.size() > 19)
        return std::nullopt;
    std::uint64_t n = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        n = n * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return n;
}

} // namespace detail

// The number alone, without its newline, is taken too: that is what makers before the count
// printed.
inline std::optional<MakerOutput> parseMakerOutput(std::string_view text) {
    if (text.size() > kMaxMakerOutput)
        return std::nullopt;
    const std::size_t nl = text.find('\n');
    MakerOutput out;
    const auto number = detail::parseDecimal(text.substr(0, nl));
    if (!number)
        return std::nullopt;
    out.number = *number;
    if (nl == std::string_view::npos || nl + 1 == text.size())
        return out;
    std::string_view rest = text.substr(nl + 1);
    if (rest.back() != '\n' || rest.substr(0, kNotKeptWords.size()) != kNotKeptWords)
        return std::nullopt;
    rest = rest.substr(kNotKeptWords.size(), rest.size() - kNotKeptWords.size() - 1);
    const auto kept = detail::parseDecimal(rest);
    if (!kept || *kept == 0)
        return std::nullopt;
    out.notKept = *kept;
    return out;
}

} // namespace vigilorn::sys

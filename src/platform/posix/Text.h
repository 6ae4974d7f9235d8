#pragma once
// Small readers of text that both sides of the root boundary share.
#include <concepts>
#include <limits>
#include <string_view>
#include <type_traits>

namespace vigilorn::posix {

// The value of one hexadecimal digit, or -1.
constexpr int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Digits only, no sign, no spaces, at most `max`: anything else is refused, not cut.
template <std::unsigned_integral T>
constexpr bool parseDecimal(std::string_view text, T& out, T max = std::numeric_limits<T>::max()) {
    if (text.empty())
        return false;
    T value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        const auto digit = static_cast<T>(c - '0');
        if (value > (max - digit) / 10)
            return false;
        value = static_cast<T>(value * 10 + digit);
    }
    out = value;
    return true;
}

// A signed number read as its unsigned magnitude; still no sign allowed.
template <std::signed_integral T>
constexpr bool parseDecimal(std::string_view text, T& out, T max = std::numeric_limits<T>::max()) {
    using U = std::make_unsigned_t<T>;
    U value = 0;
    if (max < 0 || !parseDecimal<U>(text, value, static_cast<U>(max)))
        return false;
    out = static_cast<T>(value);
    return true;
}

// The run of digits `text` starts with, possibly empty.
constexpr std::string_view leadingDigits(std::string_view text) {
    std::size_t n = 0;
    while (n < text.size() && text[n] >= '0' && text[n] <= '9')
        ++n;
    return text.substr(0, n);
}

// Spaces, tabs and line ends taken off both ends.
constexpr std::string_view trim(std::string_view text) {
    constexpr std::string_view blank = " \t\r\n";
    const auto first = text.find_first_not_of(blank);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blank) - first + 1);
}

} // namespace vigilorn::posix

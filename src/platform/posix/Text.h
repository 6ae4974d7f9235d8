#pragma once
// Small readers of text that both sides of the root boundary share.
#include <cstdint>
#include <limits>
#include <string>
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

// Digits only, no sign, no spaces, at most `max`: anything else is refused, not cut, and `out`
// is left as it was.
template <class T>
constexpr bool parseDecimal(std::string_view text, T& out, T max = std::numeric_limits<T>::max()) {
    static_assert(std::is_integral_v<T>);
    if constexpr (std::is_signed_v<T>) {
        if (max < 0)
            return false;
    }
    if (text.empty())
        return false;
    using U = std::make_unsigned_t<T>;
    const auto bound = static_cast<U>(max);
    U value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        const auto digit = static_cast<U>(c - '0');
        if (value > (bound - digit) / 10)
            return false;
        value = static_cast<U>(value * 10 + digit);
    }
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

// \\ for a backslash and \xHH for any byte, everything else as it is: snapper's escaping,
// which the owner manifest uses too. False at any other backslash.
inline bool unescapeBackslashHex(std::string_view in, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '\\') {
            out += in[i];
        } else if (i + 1 < in.size() && in[i + 1] == '\\') {
            out += '\\';
            ++i;
        } else if (i + 3 < in.size() && in[i + 1] == 'x' && hexDigit(in[i + 2]) >= 0 &&
                   hexDigit(in[i + 3]) >= 0) {
            out += static_cast<char>(hexDigit(in[i + 2]) * 16 + hexDigit(in[i + 3]));
            i += 3;
        } else {
            return false;
        }
    }
    return true;
}

// The well-formed UTF-8 character `text` starts with: its length in bytes and its code point;
// length 0 for anything else (a stray byte, a sequence cut short, an overlong form, a surrogate).
struct Utf8Char {
    std::size_t length = 0;
    std::uint32_t code = 0;
};

inline Utf8Char utf8Char(std::string_view text) {
    if (text.empty())
        return {};
    const auto b = static_cast<unsigned char>(text[0]);
    if (b < 0x80)
        return {1, b};
    Utf8Char c;
    if ((b & 0xe0) == 0xc0)
        c = {2, b & 0x1fu};
    else if ((b & 0xf0) == 0xe0)
        c = {3, b & 0x0fu};
    else if ((b & 0xf8) == 0xf0)
        c = {4, b & 0x07u};
    else
        return {};
    if (c.length > text.size())
        return {};
    for (std::size_t k = 1; k < c.length; ++k) {
        const auto next = static_cast<unsigned char>(text[k]);
        if ((next & 0xc0) != 0x80)
            return {};
        c.code = (c.code << 6) | (next & 0x3fu);
    }
    static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c.code < kSmallest[c.length] || c.code > 0x10ffff || (c.code >= 0xd800 && c.code <= 0xdfff))
        return {};
    return c;
}

} // namespace vigilorn::posix

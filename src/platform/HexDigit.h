#pragma once
// Shared by the readers of escaped text on both sides of the root boundary.

namespace vigilorn {

// The value of one hexadecimal digit, or -1.
inline int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace vigilorn

#include "OwnerManifest.h"

#include "platform/posix/Text.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace vigilorn::store {

namespace {

// Printable ASCII only: anything else is written escaped.
bool unescape(std::string_view in, std::string& out) {
    const bool printable = std::all_of(in.begin(), in.end(), [](char c) {
        return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) <= 0x7e;
    });
    return printable && posix::unescapeBackslashHex(in, out) && !out.empty();
}

template <class T> bool number(std::string_view text, int base, T& out) {
    if (text.empty())
        return false;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), out, base);
    return r.ec == std::errc() && r.ptr == text.data() + text.size();
}

} // namespace

std::string ownerManifest(std::vector<OwnerEntry> entries) {
    std::sort(entries.begin(), entries.end(),
              [](const OwnerEntry& a, const OwnerEntry& b) { return a.path < b.path; });
    std::string text;
    char head[64];
    for (const auto& e : entries) {
        std::snprintf(head, sizeof head, "%06o %u %u ", static_cast<unsigned>(e.mode),
                      static_cast<unsigned>(e.uid), static_cast<unsigned>(e.gid));
        text += head;
        for (const char c : e.path) {
            const auto u = static_cast<unsigned char>(c);
            if (c == '\\') {
                text += "\\\\";
            } else if (u < 0x20 || u > 0x7e) {
                char hex[5];
                std::snprintf(hex, sizeof hex, "\\x%02x", u);
                text += hex;
            } else {
                text += c;
            }
        }
        text += '\n';
    }
    return text;
}

bool parseOwnerManifest(std::string_view text, std::vector<OwnerEntry>& out) {
    out.clear();
    while (!text.empty()) {
        const auto end = text.find('\n');
        if (end == std::string_view::npos) {
            out.clear();
            return false; // cut short
        }
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        std::string_view fields[3];
        for (auto& f : fields) {
            const auto space = line.find(' ');
            if (space == std::string_view::npos) {
                out.clear();
                return false;
            }
            f = line.substr(0, space);
            line.remove_prefix(space + 1);
        }
        OwnerEntry e;
        if (!number(fields[0], 8, e.mode) || !number(fields[1], 10, e.uid) ||
            !number(fields[2], 10, e.gid) || !unescape(line, e.path)) {
            out.clear();
            return false;
        }
        out.push_back(std::move(e));
    }
    return true;
}

} // namespace vigilorn::store

#pragma once
// left-out.txt of a point: what the point could not keep, one "reason<TAB>path<LF>" a line, the
// path with '\', TAB and LF escaped as \\, \t and \n. Written by the store, read by the restore
// windows' comparison and by the root side's restore.
#include <string>
#include <string_view>
#include <vector>

namespace vigilorn::store {

inline constexpr const char* kLeftOutFile = "left-out.txt";

struct LeftOut {
    // unreadable, vanished, changed, too-deep, too-large, special, other-file-system
    std::string reason;
    std::string path; // as in the tree, e.g. etc/shadow
};

inline std::string leftOutLine(const LeftOut& l) {
    std::string line = l.reason + "\t";
    for (const char c : l.path) {
        if (c == '\\')
            line += "\\\\";
        else if (c == '\t')
            line += "\\t";
        else if (c == '\n')
            line += "\\n";
        else
            line += c;
    }
    return line + "\n";
}

// A backslash before anything else stands for that character; a lone one at the end for itself.
inline std::string unescapeLeftOutPath(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            const char c = text[++i];
            out += c == 't' ? '\t' : c == 'n' ? '\n' : c;
        } else {
            out += text[i];
        }
    }
    return out;
}

// Every line with a reason and a path, in order; a line without a TAB is passed over.
inline std::vector<LeftOut> parseLeftOutList(std::string_view text) {
    std::vector<LeftOut> out;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        const auto tab = line.find('\t');
        if (tab != std::string_view::npos)
            out.push_back(
                {std::string(line.substr(0, tab)), unescapeLeftOutPath(line.substr(tab + 1))});
    }
    return out;
}

} // namespace vigilorn::store

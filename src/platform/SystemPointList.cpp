#include "SystemPointList.h"

#include <charconv>

namespace vigilorn {

namespace {

constexpr std::string_view kMore = "+";
constexpr std::string_view kMoreTail = " more";

bool isControl(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

bool isLowerOrDigit(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// Architectures start with a letter, epochs are digits: "name:arch:1:2.0" is not ambiguous.
bool isArch(std::string_view s) {
    if (s.empty() || !(s.front() >= 'a' && s.front() <= 'z'))
        return false;
    for (const char c : s)
        if (!isLowerOrDigit(c) && c != '-')
            return false;
    return true;
}

bool isWord(std::string_view s) {
    if (s.empty())
        return false;
    for (const char c : s)
        if (isControl(static_cast<unsigned char>(c)) || c == ' ' || c == '>')
            return false;
    return true;
}

bool parseAction(std::string_view token, PackageAction& out) {
    const auto kindAt = token.rfind(':');
    const auto arrow = token.find('>');
    if (kindAt == std::string_view::npos || arrow == std::string_view::npos || arrow > kindAt ||
        token.find('>', arrow + 1) != std::string_view::npos)
        return false;
    const auto kind = parseKind(token.substr(kindAt + 1));
    if (!kind)
        return false;
    out.kind = *kind;
    out.newVersion = token.substr(arrow + 1, kindAt - arrow - 1);
    const std::string_view left = token.substr(0, arrow);
    const auto nameEnd = left.find(':');
    if (nameEnd == std::string_view::npos)
        return false;
    std::string_view name = left.substr(0, nameEnd);
    std::string_view old = left.substr(nameEnd + 1);
    if (const auto c = old.find(':'); c != std::string_view::npos && isArch(old.substr(0, c))) {
        name = left.substr(0, nameEnd + 1 + c);
        old = old.substr(c + 1);
    }
    out.name = name;
    out.oldVersion = old;
    return isWord(out.name) && isWord(out.oldVersion) && isWord(out.newVersion);
}

bool parseLine(std::string_view line, SystemPoint& out) {
    std::string_view fields[4];
    for (int i = 0; i < 3; ++i) {
        const auto tab = line.find('\t');
        if (tab == std::string_view::npos)
            return false;
        fields[i] = line.substr(0, tab);
        line.remove_prefix(tab + 1);
    }
    fields[3] = line;
    const auto r =
        std::from_chars(fields[0].data(), fields[0].data() + fields[0].size(), out.number);
    if (r.ec != std::errc() || r.ptr != fields[0].data() + fields[0].size() || out.number == 0)
        return false;
    if (fields[1].size() != 25 || fields[1].substr(14, 1) != "." || fields[1].substr(21) != "+000")
        return false;
    out.creationTime = fields[1];
    for (const std::string_view f : {fields[2], fields[3]})
        for (const char c : f)
            if (isControl(static_cast<unsigned char>(c)))
                return false;
    out.description = fields[2];
    std::string_view rest = fields[3];
    while (!rest.empty()) {
        const auto space = rest.find(' ');
        const std::string_view token = rest.substr(0, space);
        rest = space == std::string_view::npos ? std::string_view{} : rest.substr(space + 1);
        if (token.substr(0, kMore.size()) == kMore && rest == kMoreTail.substr(1)) {
            const std::string_view n = token.substr(kMore.size());
            const auto m = std::from_chars(n.data(), n.data() + n.size(), out.moreActions);
            return m.ec == std::errc() && m.ptr == n.data() + n.size() && out.moreActions > 0;
        }
        PackageAction a;
        if (!parseAction(token, a))
            return false;
        out.actions.push_back(std::move(a));
    }
    return true;
}

} // namespace

std::string formatSystemPointList(const std::vector<SystemPoint>& points) {
    std::string text;
    for (const auto& p : points) {
        text += std::to_string(p.number) + "\t" + p.creationTime + "\t";
        for (const char c : p.description)
            text += isControl(static_cast<unsigned char>(c)) ? ' ' : c;
        text += '\t';
        std::size_t written = 0;
        for (const auto& a : p.actions) {
            if (written == kSystemPointListActions)
                break;
            text += (written ? " " : "") + a.name + ":" + a.oldVersion + ">" + a.newVersion + ":" +
                    kindName(a.kind);
            ++written;
        }
        const std::size_t more = p.moreActions + (p.actions.size() - written);
        if (more > 0)
            text += (written ? " " : "") + std::string(kMore) + std::to_string(more) +
                    std::string(kMoreTail);
        text += '\n';
    }
    return text;
}

std::vector<SystemPoint> parseSystemPointList(std::string_view text) {
    std::vector<SystemPoint> points;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        SystemPoint p;
        if (end != std::string_view::npos && parseLine(line, p))
            points.push_back(std::move(p));
    }
    return points;
}

} // namespace vigilorn

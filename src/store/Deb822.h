#pragma once
// Debian's control stanzas: "Field: value" lines, a blank line between stanzas, continuation
// lines starting with a blank. dpkg's status file and apt-cache's output are read through this
// one reader, and "installed" has one meaning.
#include "platform/posix/Text.h"

#include <string_view>
#include <utility>
#include <vector>

namespace vigilorn::debian {

class Stanza {
public:
    // The field's one-line value, "" when absent; field names are not case-sensitive.
    std::string_view operator[](std::string_view field) const {
        for (const auto& [name, value] : m_fields)
            if (sameName(name, field))
                return value;
        return {};
    }
    bool empty() const { return m_fields.empty(); }
    void add(std::string_view name, std::string_view value) { m_fields.emplace_back(name, value); }
    void clear() {
        m_fields.clear();
        m_text = {};
    }
    // The stanza's lines as they are, continuation lines included.
    std::string_view text() const { return m_text; }
    void setText(std::string_view text) { m_text = text; }

private:
    static bool sameName(std::string_view a, std::string_view b) {
        if (a.size() != b.size())
            return false;
        for (std::size_t i = 0; i < a.size(); ++i) {
            char x = a[i], y = b[i];
            x = (x >= 'A' && x <= 'Z') ? static_cast<char>(x - 'A' + 'a') : x;
            y = (y >= 'A' && y <= 'Z') ? static_cast<char>(y - 'A' + 'a') : y;
            if (x != y)
                return false;
        }
        return true;
    }
    std::vector<std::pair<std::string_view, std::string_view>> m_fields;
    std::string_view m_text;
};

// Calls `each(const Stanza&)` for every stanza of `text`, in order. The values point into
// `text`; continuation lines are passed over.
template <typename Each> void forEachStanza(std::string_view text, Each&& each) {
    Stanza stanza;
    const char* start = nullptr;
    const char* finish = nullptr;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (posix::trim(line).empty()) {
            if (!stanza.empty()) {
                stanza.setText({start, static_cast<std::size_t>(line.data() - start)});
                each(std::as_const(stanza));
            }
            stanza.clear();
            start = nullptr;
            continue;
        }
        if (!start)
            start = line.data();
        finish = line.data() + line.size();
        if (line.front() == ' ' || line.front() == '\t')
            continue;
        const auto colon = line.find(':');
        if (colon != std::string_view::npos)
            stanza.add(line.substr(0, colon), posix::trim(line.substr(colon + 1)));
    }
    if (!stanza.empty()) {
        stanza.setText({start, static_cast<std::size_t>(finish - start)});
        each(std::as_const(stanza));
    }
}

// dpkg's Status is "want flag state": a package is there when its state is "installed", held
// and marked for removal ones included; "not-installed", "half-installed", "config-files" and
// the other states are not.
inline bool isInstalledStatus(std::string_view status) {
    const auto space = status.rfind(' ');
    return (space == std::string_view::npos ? status : status.substr(space + 1)) == "installed";
}

} // namespace vigilorn::debian

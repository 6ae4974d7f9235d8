#include "DebianPackages.h"

#include "Deb822.h"

#include <cctype>

namespace vigilorn::debian {

namespace {

void keep(PackageList& out, std::string_view name, std::string_view arch, std::string_view version,
          std::string_view status) {
    if (name.empty() || !isInstalledStatus(status))
        return;
    out[std::string(name) + "\t" + std::string(arch)] = {std::string(version), std::string(status)};
}

bool isAlnum(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0;
}
bool isDigit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// dpkg's order of the characters of a version's non-digit parts: '~' before everything, even
// the end, then letters, then the rest.
int order(char c) {
    if (isDigit(c))
        return 0;
    if (std::isalpha(static_cast<unsigned char>(c)))
        return c;
    if (c == '~')
        return -1;
    if (c != 0)
        return c + 256;
    return 0;
}

int compareParts(std::string_view a, std::string_view b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        int firstDiff = 0;
        while ((i < a.size() && !isDigit(a[i])) || (j < b.size() && !isDigit(b[j]))) {
            const int ac = i < a.size() ? order(a[i]) : 0;
            const int bc = j < b.size() ? order(b[j]) : 0;
            if (ac != bc)
                return ac - bc;
            ++i;
            ++j;
        }
        while (i < a.size() && a[i] == '0')
            ++i;
        while (j < b.size() && b[j] == '0')
            ++j;
        while (i < a.size() && isDigit(a[i]) && j < b.size() && isDigit(b[j])) {
            if (!firstDiff)
                firstDiff = a[i] - b[j];
            ++i;
            ++j;
        }
        if (i < a.size() && isDigit(a[i]))
            return 1;
        if (j < b.size() && isDigit(b[j]))
            return -1;
        if (firstDiff)
            return firstDiff;
    }
    return 0;
}

struct Version {
    unsigned long long epoch = 0;
    std::string_view upstream;
    std::string_view revision;
};

Version split(std::string_view v) {
    Version out;
    const auto colon = v.find(':');
    if (colon != std::string_view::npos) {
        for (const char c : v.substr(0, colon))
            out.epoch = out.epoch * 10 + static_cast<unsigned>(c - '0');
        v.remove_prefix(colon + 1);
    }
    const auto dash = v.rfind('-');
    out.upstream = dash == std::string_view::npos ? v : v.substr(0, dash);
    out.revision = dash == std::string_view::npos ? std::string_view{} : v.substr(dash + 1);
    return out;
}

} // namespace

PackageList parseStatusFile(std::string_view text) {
    PackageList out;
    forEachStanza(text, [&](const Stanza& s) {
        keep(out, s["Package"], s["Architecture"], s["Version"], s["Status"]);
    });
    return out;
}

PackageList parseStoredList(std::string_view text) {
    PackageList out;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        std::string_view fields[4];
        std::string_view rest = line;
        int n = 0;
        while (n < 3) {
            const auto tab = rest.find('\t');
            if (tab == std::string_view::npos)
                break;
            fields[n++] = rest.substr(0, tab);
            rest = rest.substr(tab + 1);
        }
        fields[n++] = rest;
        if (n == 4)
            keep(out, fields[0], fields[1], fields[2], fields[3]);
    }
    return out;
}

int compareVersions(std::string_view a, std::string_view b) {
    const Version va = split(a), vb = split(b);
    if (va.epoch != vb.epoch)
        return va.epoch < vb.epoch ? -1 : 1;
    if (const int r = compareParts(va.upstream, vb.upstream))
        return r;
    return compareParts(va.revision, vb.revision);
}

bool isValidName(std::string_view name) {
    // Lower-case letters, digits, '+', '-', '.'; at least two, starting alphanumerically.
    if (name.size() < 2 || !isAlnum(name.front()))
        return false;
    for (const char c : name)
        if (!(isDigit(c) || (c >= 'a' && c <= 'z') || c == '+' || c == '-' || c == '.'))
            return false;
    return true;
}

bool isValidVersion(std::string_view v) {
    if (v.empty())
        return false;
    const auto colon = v.find(':');
    if (colon != std::string_view::npos) {
        const std::string_view epoch = v.substr(0, colon);
        if (epoch.empty() || epoch.size() > 9)
            return false;
        for (const char c : epoch)
            if (!isDigit(c))
                return false;
        v.remove_prefix(colon + 1);
    }
    const auto dash = v.rfind('-');
    const std::string_view upstream = dash == std::string_view::npos ? v : v.substr(0, dash);
    if (upstream.empty() || !isDigit(upstream.front()))
        return false;
    for (const char c : upstream)
        if (!(isAlnum(c) || c == '.' || c == '+' || c == '~' ||
              (c == '-' && dash != std::string_view::npos)))
            return false;
    if (dash != std::string_view::npos) {
        const std::string_view revision = v.substr(dash + 1);
        if (revision.empty())
            return false;
        for (const char c : revision)
            if (!(isAlnum(c) || c == '.' || c == '+' || c == '~'))
                return false;
    }
    return true;
}

bool isValidArch(std::string_view arch) {
    if (arch.empty())
        return false;
    for (const char c : arch)
        if (!(isDigit(c) || (c >= 'a' && c <= 'z') || c == '-'))
            return false;
    return true;
}

} // namespace vigilorn::debian

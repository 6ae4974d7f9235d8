#pragma once
// One package a change installs, upgrades or removes: read by the hook from APT and dpkg, fed
// to the point maker as "name old new kind" lines, kept in change.txt and points.list. Plain
// C++ and header-only, so that both sides share one type.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vigilorn {

enum class ActionKind { Install, Upgrade, Downgrade, Reinstall, Remove, Purge, Configure };

// A version that is not there: before an install, after a removal.
inline constexpr std::string_view kNoVersion = "-";

struct PackageAction {
    std::string name;       // a package name, perhaps with ":arch"
    std::string oldVersion; // kNoVersion when absent
    std::string newVersion; // kNoVersion when absent
    ActionKind kind = ActionKind::Install;
    bool operator==(const PackageAction&) const = default;
};

inline constexpr ActionKind kActionKinds[] = {
    ActionKind::Install, ActionKind::Upgrade, ActionKind::Downgrade, ActionKind::Reinstall,
    ActionKind::Remove,  ActionKind::Purge,   ActionKind::Configure};

inline const char* kindName(ActionKind kind) {
    switch (kind) {
    case ActionKind::Install:
        return "install";
    case ActionKind::Upgrade:
        return "upgrade";
    case ActionKind::Downgrade:
        return "downgrade";
    case ActionKind::Reinstall:
        return "reinstall";
    case ActionKind::Remove:
        return "remove";
    case ActionKind::Purge:
        return "purge";
    case ActionKind::Configure:
        return "configure";
    }
    return "change";
}

inline std::optional<ActionKind> parseKind(std::string_view name) {
    for (const ActionKind k : kActionKinds)
        if (name == kindName(k))
            return k;
    return std::nullopt;
}

inline bool isPackageActionKind(std::string_view name) {
    return parseKind(name).has_value();
}

// "name old new kind\n": what the point maker reads on its standard input.
inline std::string actionLine(const PackageAction& a) {
    return a.name + ' ' + a.oldVersion + ' ' + a.newVersion + ' ' + kindName(a.kind) + '\n';
}

inline std::string actionLines(const std::vector<PackageAction>& actions) {
    std::string out;
    for (const auto& a : actions)
        out += actionLine(a);
    return out;
}

// One such line, its newline taken off; nothing unless it has exactly four fields and a known
// kind. The names and versions are the reader's to check.
inline std::optional<PackageAction> parseActionLine(std::string_view line) {
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    std::string_view f[4];
    for (int i = 0; i < 4; ++i) {
        const auto space = line.find(' ');
        if ((space == std::string_view::npos) != (i == 3))
            return std::nullopt;
        f[i] = line.substr(0, space);
        line.remove_prefix(i == 3 ? line.size() : space + 1);
    }
    const auto kind = parseKind(f[3]);
    if (!kind)
        return std::nullopt;
    return PackageAction{std::string(f[0]), std::string(f[1]), std::string(f[2]), *kind};
}

} // namespace vigilorn

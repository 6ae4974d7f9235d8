#include "SecurityFiles.h"

#include <array>

namespace vigilorn::sys {

namespace {

enum class Match {
    Exact,  // the file itself
    Folder, // the folder and all below it
    Prefix, // any name of the folder above that starts so, and all below it
};

struct Rule {
    std::string_view path; // below etc/
    Match match;
};

constexpr std::array kRules{
    // Accounts and how they log in.
    Rule{"passwd", Match::Prefix}, // passwd, passwd-
    Rule{"shadow", Match::Prefix},
    Rule{"group", Match::Prefix},
    Rule{"gshadow", Match::Prefix},
    Rule{"subuid", Match::Prefix},
    Rule{"subgid", Match::Prefix},
    Rule{"login.defs", Match::Exact},
    Rule{"securetty", Match::Exact},
    Rule{"shells", Match::Exact},
    Rule{"nsswitch.conf", Match::Exact},
    Rule{"pam.conf", Match::Exact},
    Rule{"pam.d", Match::Folder},
    Rule{"security", Match::Folder},
    // Becoming root.
    Rule{"sudoers", Match::Prefix}, // sudoers, sudoers.d/
    Rule{"sudo.conf", Match::Exact},
    Rule{"doas.conf", Match::Exact},
    Rule{"polkit-1", Match::Folder},
    Rule{"ssh", Match::Folder},
    // Code run as root.
    Rule{"ld.so.preload", Match::Exact},
    Rule{"ld.so.conf", Match::Prefix}, // ld.so.conf, ld.so.conf.d/
    Rule{"crontab", Match::Exact},
    Rule{"cron.", Match::Prefix},
    Rule{"systemd/system", Match::Folder},
    Rule{"dpkg/dpkg.cfg.d", Match::Folder},
    Rule{"apt/apt.conf.d", Match::Folder},
    // What APT trusts and where it looks.
    Rule{"apt/trusted.gpg", Match::Prefix}, // trusted.gpg, trusted.gpg.d/
    Rule{"apt/keyrings", Match::Folder},
    Rule{"apt/sources.list", Match::Prefix}, // sources.list, sources.list.d/
    Rule{"apt/auth.conf", Match::Prefix},
    Rule{"apt/preferences", Match::Prefix},
    Rule{"ssl", Match::Folder},
    Rule{"ca-certificates", Match::Prefix},
};

bool matches(std::string_view path, const Rule& rule) {
    const std::string_view p = rule.path;
    switch (rule.match) {
    case Match::Exact:
        return path == p;
    case Match::Folder:
        return path == p ||
               (path.size() > p.size() && path.substr(0, p.size()) == p && path[p.size()] == '/');
    case Match::Prefix: {
        if (path.substr(0, p.size()) != p)
            return false;
        // "cron." must not take "cronx/..." nor a name of a deeper folder for its own.
        const auto slash = p.rfind('/');
        const std::string_view folder = slash == std::string_view::npos ? "" : p.substr(0, slash);
        const auto nameEnd = path.find('/', folder.size() + (folder.empty() ? 0 : 1));
        return nameEnd == std::string_view::npos || nameEnd >= p.size();
    }
    }
    return false;
}

} // namespace

bool securityRelevant(std::string_view path) {
    constexpr std::string_view etc = "etc/";
    if (path.substr(0, etc.size()) != etc)
        return false;
    path.remove_prefix(etc.size());
    for (const Rule& rule : kRules)
        if (matches(path, rule))
            return true;
    return false;
}

} // namespace vigilorn::sys

#include "InstallerRules.h"

#include "InstallerRule.h"

#include <algorithm>

namespace vigilorn {
namespace {

using Words = std::vector<std::string_view>;

// How a package manager says that it is about to change the system.
enum class Syntax {
    Alone,      // its name is enough
    Script,     // an interpreter's process, known by its script: "python3 .../unattended-upgrade"
    SubCommand, // the first word that is not an option: "apt-get -y install x"
    Dpkg,       // an action option anywhere: "dpkg --force-all -i x.deb", "dpkg -iR dir"
    Rpm,        // a mode letter: "rpm -ivh x.rpm", but not the query "rpm -qi x"
    Pacman,     // an operation letter: "pacman -Syu", but not the search "pacman -Ss x"
    NpmGlobal,  // a sub-command together with -g/--global
    Python,     // an interpreter running a package manager: "python3 -m pip install x"
    Node,       // "node /usr/bin/npm install -g x"
};

struct PackageManager {
    Words names;
    Syntax syntax;
    Words verbs;        // sub-commands, action options, or (rpm, pacman) letters
    Words valueOptions; // options whose value is the next argument, before the sub-command
};

// The mapping, in one place: which programs change the system, and with which words.
// Read-only runs ("apt list", "apt-cache", "dpkg -l", "flatpak list", "pip show") are not here
// and never remind.
const std::vector<PackageManager>& packageManagers() {
    static const std::vector<PackageManager> table = {
        {{"apt", "apt-get", "aptitude"},
         Syntax::SubCommand,
         {"install", "reinstall", "remove", "purge", "upgrade", "full-upgrade", "dist-upgrade",
          "autoremove", "safe-upgrade"},
         {"-o", "-c", "-t", "-a", "--option", "--config-file", "--target-release",
          "--default-release", "--host-architecture"}},
        {{"dpkg"},
         Syntax::Dpkg,
         {"-i", "--install", "--unpack", "-r", "--remove", "-P", "--purge", "--configure"},
         {}},
        {{"flatpak"}, Syntax::SubCommand, {"install", "update", "uninstall"}, {"--installation"}},
        {{"snap"}, Syntax::SubCommand, {"install", "refresh", "remove"}, {}},
        {{"pip", "pip3", "pipx"},
         Syntax::SubCommand,
         {"install", "uninstall"},
         {"--proxy", "--retries", "--timeout", "--exists-action", "--trusted-host", "--cert",
          "--client-cert", "--cache-dir", "--log", "--python", "--keyring-provider",
          "--use-feature", "--use-deprecated"}},
        {{"npm", "npm-cli.js"},
         Syntax::NpmGlobal,
         {"install", "i", "uninstall"},
         {"--prefix", "--registry", "--cache", "--userconfig", "--globalconfig", "--loglevel"}},
        {{"dnf", "yum"},
         Syntax::SubCommand,
         {"install", "reinstall", "localinstall", "remove", "erase", "autoremove", "upgrade",
          "update", "downgrade", "distro-sync"},
         {"-c", "--config", "--installroot", "--releasever", "-x", "--exclude", "--enablerepo",
          "--disablerepo", "--repo", "--repoid", "-d", "--debuglevel", "-e", "--errorlevel",
          "--setopt"}},
        {{"zypper"},
         Syntax::SubCommand,
         {"install", "in", "remove", "rm", "update", "up", "dist-upgrade", "dup", "patch"},
         {"-c", "--config", "-R", "--root", "--reposd-dir", "--cache-dir", "--raw-cache-dir",
          "--solv-cache-dir", "--pkg-cache-dir"}},
        // Each operation letter that changes the system, followed by the letters that make it
        // only look: -S installs, -Ss searches; -R removes, -Rp prints what it would remove.
        {{"pacman"}, Syntax::Pacman, {"S silgpcw", "R p", "U p"}, {}},
        // The mode letters that change the system, then those that only look ("-qi": query).
        {{"rpm"}, Syntax::Rpm, {"iUFe", "qVK"}, {}},
        {{"gdebi", "gdebi-gtk", "synaptic"}, Syntax::Alone, {}, {}},
        // The kernel cuts the name to "unattended-upgr", which unattended-upgrade-shutdown,
        // waiting for the whole uptime, shares.
        {{"unattended-upgr", "unattended-upgrade"}, Syntax::Script, {"unattended-upgrade"}, {}},
        {{"python", "python3"}, Syntax::Python, {}, {"-W", "-X"}},
        {{"node", "nodejs"}, Syntax::Node, {}, {"-r", "--require"}},
    };
    return table;
}

bool contains(const Words& words, std::string_view w) {
    return std::find(words.begin(), words.end(), w) != words.end();
}

// "python3.11" is python3 and "pip3.11" is pip3: versioned names run the same program.
std::string_view withoutVersion(std::string_view name) {
    for (;;) {
        const auto dot = name.rfind('.');
        if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size())
            return name;
        const auto tail = name.substr(dot + 1);
        if (tail.find_first_not_of("0123456789") != std::string_view::npos)
            return name;
        name = name.substr(0, dot);
    }
}

std::string_view baseName(std::string_view path) {
    const auto cut = path.find_last_of('/');
    return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

// A process that set its title ("npm install -g x") may show it as its name.
std::string_view firstWord(std::string_view name) {
    const auto space = name.find(' ');
    return space == std::string_view::npos ? name : name.substr(0, space);
}

const PackageManager* lookup(std::string_view command) {
    for (const auto& pm : packageManagers())
        if (contains(pm.names, command))
            return &pm;
    return nullptr;
}

using Args = std::vector<std::string_view>;

// The first word that is not an option; empty when there is none.
std::string_view firstPositional(const Args& args, const Words& valueOptions,
                                 std::size_t* at = nullptr) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const auto a = args[i];
        if (a == "--") {
            if (at)
                *at = i + 1;
            return i + 1 < args.size() ? args[i + 1] : std::string_view{};
        }
        if (a.size() > 1 && a[0] == '-') {
            if (a.find('=') == std::string_view::npos && contains(valueOptions, a))
                ++i;
            continue;
        }
        if (at)
            *at = i;
        return a;
    }
    return {};
}

bool dpkgChanges(const PackageManager& pm, const Args& args) {
    for (const auto a : args) {
        if (a == "--")
            return false;
        if (contains(pm.verbs, a))
            return true;
        // Short options may be joined: "-iR" installs every package below a folder.
        if (a.size() > 2 && a[0] == '-' && a[1] != '-' &&
            a.find_first_not_of("irPRGEBO", 1) == std::string_view::npos &&
            a.find_first_of("irP", 1) != std::string_view::npos)
            return true;
    }
    return false;
}

bool rpmChanges(const PackageManager& pm, const Args& args) {
    const auto changing = pm.verbs[0];
    const auto looking = pm.verbs[1];
    bool changes = false;
    for (const auto a : args) {
        if (a == "--")
            break;
        if (a.size() < 2 || a[0] != '-' || a[1] == '-')
            continue;
        if (a.find_first_of(looking, 1) != std::string_view::npos)
            return false;
        if (a.find_first_of(changing, 1) != std::string_view::npos)
            changes = true;
    }
    return changes;
}

bool pacmanChanges(const PackageManager& pm, const Args& args) {
    bool changes = false;
    for (const auto a : args) {
        if (a == "--")
            break;
        if (a.size() < 2 || a[0] != '-' || a[1] == '-')
            continue;
        for (const auto op : pm.verbs) {
            if (a.find(op[0], 1) == std::string_view::npos)
                continue;
            if (a.find_first_of(op.substr(2), 1) != std::string_view::npos)
                return false;
            changes = true;
        }
    }
    return changes;
}

bool longModeChanges(const Args& args, const Words& changing, const Words& looking) {
    bool changes = false;
    for (const auto a : args) {
        if (a == "--")
            break;
        if (contains(looking, a))
            return false;
        if (contains(changing, a))
            changes = true;
    }
    return changes;
}

bool npmGlobalChanges(const PackageManager& pm, const Args& args) {
    if (!contains(pm.verbs, firstPositional(args, pm.valueOptions)))
        return false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const auto a = args[i];
        if (a == "--")
            break;
        if (a == "-g" || a == "--global" || a == "--global=true" || a == "--location=global")
            return true;
        if (a == "--location" && i + 1 < args.size() && args[i + 1] == "global")
            return true;
    }
    return false;
}

// What an interpreter runs: the module after -m, or the script; nothing for -c and -e.
std::string_view interpretedProgram(const PackageManager& pm, const Args& args, Args& rest) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const auto a = args[i];
        if (a == "-" || a == "--")
            return {};
        if (a.size() > 1 && a[0] == '-') {
            if (pm.syntax == Syntax::Python && a[1] != '-') {
                // Joined flags: "-Im pip", "-mpip", "-W ignore".
                for (std::size_t k = 1; k < a.size(); ++k) {
                    const char c = a[k];
                    if (c == 'c')
                        return {};
                    if (c == 'm' || c == 'W' || c == 'X') {
                        std::string_view value = a.substr(k + 1);
                        if (value.empty() && ++i < args.size())
                            value = args[i];
                        if (c != 'm')
                            break;
                        rest.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
                        if (value.size() > 9 && value.substr(value.size() - 9) == ".__main__")
                            value.remove_suffix(9);
                        return value;
                    }
                }
                continue;
            }
            if (a == "-e" || a == "--eval" || a == "-p" || a == "--print")
                return {};
            if (a.find('=') == std::string_view::npos && contains(pm.valueOptions, a))
                ++i;
            continue;
        }
        rest.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
        return baseName(a);
    }
    return {};
}

bool runs(const PackageManager& pm, const Args& args, int depth) {
    switch (pm.syntax) {
    case Syntax::Alone:
        return true;
    case Syntax::Script:
        return false; // decided on the whole command line
    case Syntax::SubCommand:
        return contains(pm.verbs, firstPositional(args, pm.valueOptions));
    case Syntax::Dpkg:
        return dpkgChanges(pm, args);
    case Syntax::Rpm:
        return rpmChanges(pm, args) ||
               longModeChanges(args,
                               {"--install", "--upgrade", "--freshen", "--erase", "--reinstall"},
                               {"--query", "--verify", "--checksig"});
    case Syntax::Pacman:
        return pacmanChanges(pm, args) ||
               longModeChanges(args, {"--sync", "--remove", "--upgrade"},
                               {"--search", "--info", "--list", "--groups", "--print", "--clean"});
    case Syntax::NpmGlobal:
        return npmGlobalChanges(pm, args);
    case Syntax::Python:
    case Syntax::Node: {
        if (depth > 0)
            return false;
        Args rest;
        const auto program = withoutVersion(interpretedProgram(pm, args, rest));
        const PackageManager* inner = program.empty() ? nullptr : lookup(program);
        if (!inner || inner->syntax == Syntax::Python || inner->syntax == Syntax::Node)
            return false;
        if (inner->syntax == Syntax::Script)
            return contains(inner->verbs, program);
        return runs(*inner, rest, depth + 1);
    }
    }
    return false;
}

} // namespace

bool isPackageManagerName(std::string_view name) {
    return lookup(withoutVersion(firstWord(name))) != nullptr;
}

bool isPackageManagerRun(std::string_view name, const std::vector<std::string>& argv) {
    const auto command = withoutVersion(firstWord(name));
    const PackageManager* pm = lookup(command);
    if (!pm)
        return false;
    if (pm->syntax == Syntax::Alone)
        return true;

    Args words(argv.begin(), argv.end());
    // A process that rewrote its title keeps all of it in one argument.
    if (words.size() == 1 && words[0].find(' ') != std::string_view::npos) {
        const std::string_view title = words[0];
        words.clear();
        std::size_t start = 0;
        while (start <= title.size()) {
            auto end = title.find(' ', start);
            if (end == std::string_view::npos)
                end = title.size();
            if (end > start)
                words.push_back(title.substr(start, end - start));
            start = end + 1;
        }
    }
    if (words.empty())
        return false;
    if (pm->syntax == Syntax::Script) {
        for (std::size_t i = 0; i < std::min<std::size_t>(words.size(), 4); ++i)
            if (contains(pm->verbs, baseName(words[i])))
                return true;
        return false;
    }
    // A script names its interpreter first: "/usr/bin/python3 /usr/bin/pip install x".
    std::size_t self = 0;
    for (std::size_t i = 0; i < std::min<std::size_t>(words.size(), 4); ++i) {
        if (withoutVersion(baseName(words[i])) == command) {
            self = i;
            break;
        }
    }
    const Args args(words.begin() + static_cast<std::ptrdiff_t>(self) + 1, words.end());
    return runs(*pm, args, 0);
}

bool InstallerRules::isInstaller(const std::string& name, const ArgumentReader& arguments) const {
    if (isInstallerName(name))
        return true;
    if (!m_packageManagers || !isPackageManagerName(name))
        return false;
    std::optional<std::vector<std::string>> argv;
    if (lookup(withoutVersion(firstWord(name)))->syntax != Syntax::Alone && arguments)
        argv = arguments();
    return isPackageManagerRun(name, argv ? *argv : std::vector<std::string>{});
}

} // namespace vigilorn

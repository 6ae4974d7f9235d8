#include "HookInput.h"

#include "platform/RestoreProtocol.h"
#include "platform/posix/Stream.h"
#include "platform/posix/Text.h"
#include "store/Deb822.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <unordered_set>

namespace vigilorn::sys {

namespace {

constexpr std::string_view kVersionLine = "VERSION 3";
constexpr std::size_t kFieldsBeforeAction = 8;

bool aptTrue(std::string_view value) {
    return value == "true" || value == "1" || value == "yes" || value == "on";
}

int smallNumber(std::string_view text) {
    int n = 0;
    return posix::parseDecimal(text, n, 9999) ? n : 0;
}

// Eight space-separated fields, then the action, which is a file name and may hold spaces.
bool splitPackageLine(std::string_view line, std::array<std::string_view, 9>& fields) {
    for (std::size_t i = 0; i < kFieldsBeforeAction; ++i) {
        const std::size_t space = line.find(' ');
        if (space == std::string_view::npos || space == 0)
            return false;
        fields[i] = line.substr(0, space);
        line.remove_prefix(space + 1);
    }
    fields[kFieldsBeforeAction] = line;
    return !line.empty();
}

bool plainToken(std::string_view text) {
    return !text.empty() && std::none_of(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) <= ' ' || c == '\x7f';
    });
}

// APT's option names are not case-sensitive.
bool sameKey(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view baseName(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// NAME_VERSION_ARCH.deb, as dpkg-deb --build names it.
std::string_view packageOfFileName(std::string_view path) {
    std::string_view name = baseName(path);
    if (name.size() > 4 && name.substr(name.size() - 4) == ".deb")
        name.remove_suffix(4);
    return name.substr(0, name.find('_'));
}

} // namespace

std::string percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && posix::hexDigit(text[i + 1]) >= 0 &&
            posix::hexDigit(text[i + 2]) >= 0) {
            out +=
                static_cast<char>(posix::hexDigit(text[i + 1]) * 16 + posix::hexDigit(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

AptInput parseAptInput(std::string_view text) {
    AptInput in;
    enum class Section { Header, Configuration, Packages } section = Section::Header;
    bool purge = false;
    std::string_view native;
    std::unordered_set<std::string> unpacked;
    std::array<std::string_view, 9> f;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        const std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);

        if (section == Section::Header) {
            if (line != kVersionLine)
                return in;
            section = Section::Configuration;
            continue;
        }
        if (section == Section::Configuration) {
            if (line.empty()) {
                section = Section::Packages;
                in.understood = true;
                continue;
            }
            const std::size_t eq = line.find('=');
            const std::string_view key = line.substr(0, eq);
            const std::string_view value =
                eq == std::string_view::npos ? std::string_view() : line.substr(eq + 1);
            if (key == "CommandLine::AsString")
                in.commandLine = percentDecode(value);
            else if (key == "quiet")
                in.quiet = smallNumber(value);
            else if (key == "APT::Get::Purge")
                purge = aptTrue(value);
            else if (key == "APT::Architecture")
                native = value;
            else if (sameKey(key, restoreproto::kRestoringOption) && !value.empty())
                in.ownRestore = true;
            continue;
        }

        if (!splitPackageLine(line, f) || f[4].size() != 1 ||
            std::string_view("<>=-").find(f[4][0]) == std::string_view::npos) {
            ++in.skippedLines;
            continue;
        }
        // Each architecture of a package is a change of its own: a foreign one is named as
        // APT names it.
        const std::string_view arch = f[6] != "-" ? f[6] : f[2];
        std::string name(f[0]);
        if (!native.empty() && arch != native && arch != "all" && arch != "-")
            name += ':' + std::string(arch);
        PackageAction a{name, std::string(f[1]), std::string(f[5]), ActionKind::Install};
        const std::string_view action = f[8];
        if (action == "**REMOVE**") {
            a.kind = purge ? ActionKind::Purge : ActionKind::Remove;
        } else if (action == "**CONFIGURE**") {
            if (unpacked.count(name))
                continue;
            a.kind = ActionKind::Configure;
        } else if (action.front() == '/' || action == "**ERROR**") {
            switch (a.oldVersion == "-" ? '-' : f[4][0]) {
            case '<':
                a.kind = ActionKind::Upgrade;
                break;
            case '>':
                a.kind = ActionKind::Downgrade;
                break;
            case '=':
                a.kind = ActionKind::Reinstall;
                break;
            default:
                a.kind = ActionKind::Install;
            }
            unpacked.insert(name);
        } else {
            ++in.skippedLines;
            continue;
        }
        in.actions.push_back(std::move(a));
    }
    return in;
}

bool dpkgActionChanges(std::string_view hookAction) {
    return hookAction == "install" || hookAction == "unpack" || hookAction == "remove" ||
           hookAction == "purge" || hookAction == "configure";
}

std::optional<DebFields> parseDebFields(std::string_view text) {
    DebFields out;
    int stanzas = 0;
    debian::forEachStanza(text, [&](const debian::Stanza& s) {
        ++stanzas;
        out = {std::string(s["Package"]), std::string(s["Version"]),
               std::string(s["Architecture"])};
    });
    // A package name is lower case letters, digits and +-. only.
    const bool name =
        !out.package.empty() && std::all_of(out.package.begin(), out.package.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
                   c == '.';
        });
    if (stanzas != 1 || !name || !plainToken(out.version) || !plainToken(out.arch))
        return std::nullopt;
    return out;
}

DpkgRun parseDpkgArguments(const std::vector<std::string>& args, std::string_view hookAction,
                           const DebReader& readDeb) {
    DpkgRun run;
    ActionKind kind = ActionKind::Install;
    if (hookAction == "remove")
        kind = ActionKind::Remove;
    else if (hookAction == "purge")
        kind = ActionKind::Purge;
    else if (hookAction == "configure")
        kind = ActionKind::Configure;

    std::string line = args.empty() ? std::string("dpkg") : std::string(baseName(args[0]));
    bool optionsEnd = false;
    bool targets = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        line += ' ';
        line += arg;
        const bool option = !optionsEnd && arg.size() > 1 && arg.front() == '-';
        if (!optionsEnd && arg == "--") {
            optionsEnd = true;
        } else if (option) {
            if (arg == "--no-act" || arg == "--dry-run" || arg == "--simulate")
                run.dryRun = true;
            if (arg == "-i" || arg == "--install" || arg == "--unpack" || arg == "-r" ||
                arg == "--remove" || arg == "-P" || arg == "--purge" || arg == "--configure")
                targets = true;
        } else if (targets && !arg.empty()) {
            // A file's name says nothing sure of the package in it (setup.deb): dpkg-deb
            // reads it from the file, and the name is only the fallback.
            std::optional<DebFields> fields;
            if (kind == ActionKind::Install && readDeb)
                fields = readDeb(args[i]);
            std::string_view name = arg;
            if (fields)
                name = fields->package;
            else if (!plainToken(arg))
                continue;
            else if (kind == ActionKind::Install)
                name = packageOfFileName(arg);
            if (!name.empty())
                run.actions.push_back({std::string(name), "-", "-", kind});
        }
    }
    if (args.empty())
        line += std::string(" ") + std::string(hookAction);
    run.description = boundedDescription(line);
    return run;
}

namespace {

// The length of the well-formed UTF-8 character `text` starts with, or 0 when it is none.
std::size_t characterLength(std::string_view text) {
    const auto c = posix::utf8Char(text);
    // C1 controls are shown as spaces, like the others.
    if (c.length == 2 && c.code <= 0x9f)
        return 0x80;
    return c.length;
}

} // namespace

std::string boundedDescription(std::string_view text) {
    static constexpr std::string_view kReplacement = "\xef\xbf\xbd";
    std::string out;
    out.reserve(std::min(text.size(), kMaxDescription));
    while (!text.empty()) {
        const std::size_t len = characterLength(text);
        std::string_view piece;
        if (len == 0x80) {
            piece = " ";
            text.remove_prefix(2);
        } else if (len == 0) {
            piece = kReplacement;
            text.remove_prefix(1);
        } else {
            const auto u = static_cast<unsigned char>(text[0]);
            piece = (u < ' ' || u == 0x7f) ? std::string_view(" ") : text.substr(0, len);
            text.remove_prefix(len);
        }
        if (out.size() + piece.size() > kMaxDescription)
            break;
        out.append(piece);
    }
    return out;
}

std::string frontendWord(std::string_view name) {
    std::string out;
    for (const char c : name)
        if (out.size() < pointreq::kMaxFrontend && pointreq::frontendChar(c))
            out += c;
    return out;
}

std::string summarise(std::string_view frontend, const std::vector<PackageAction>& actions) {
    const bool oneKind = !actions.empty() &&
                         std::all_of(actions.begin(), actions.end(),
                                     [&](const auto& a) { return a.kind == actions.front().kind; });
    std::string out(frontend);
    out += ' ';
    out += oneKind ? kindName(actions.front().kind) : "change";
    for (const auto& a : actions) {
        if (out.size() > kMaxDescription)
            break;
        out += ' ';
        out += a.name;
    }
    return boundedDescription(out);
}

ReadResult readBounded(int fd, std::string& out, std::size_t maxBytes,
                       std::chrono::milliseconds within) {
    auto read = posix::readStream(fd, maxBytes, within);
    out = std::move(read.text);
    switch (read.end) {
    case posix::StreamEnd::Complete:
        return ReadResult::Complete;
    case posix::StreamEnd::TooLarge:
        return ReadResult::TooLarge;
    case posix::StreamEnd::TimedOut:
        return ReadResult::TimedOut;
    case posix::StreamEnd::Closed:
    case posix::StreamEnd::Failed:
        break;
    }
    return ReadResult::Failed;
}

} // namespace vigilorn::sys

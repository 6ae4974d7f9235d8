#include "Console.h"

#include "SecurityFiles.h"
#include "platform/RestoreProtocol.h"
#include "platform/posix/Text.h"

#include <algorithm>
#include <cctype>

namespace vigilorn::sys {

namespace {

namespace proto = restoreproto;

// Actions named per point in `list`; the rest are counted.
constexpr std::size_t kListedActions = 4;

// "20261209205107.000000+000" as "2026-12-09 20:51:07"; anything else as it is.
std::string shownTime(const std::string& t) {
    if (t.size() < 14 ||
        !std::all_of(t.begin(), t.begin() + 14, [](char c) { return c >= '0' && c <= '9'; }))
        return t;
    return t.substr(0, 4) + '-' + t.substr(4, 2) + '-' + t.substr(6, 2) + ' ' + t.substr(8, 2) +
           ':' + t.substr(10, 2) + ':' + t.substr(12, 2);
}

std::string shownAction(const PackageAction& a) {
    const bool hasOld = a.oldVersion != kNoVersion, hasNew = a.newVersion != kNoVersion;
    std::string versions;
    if (hasOld && hasNew && a.oldVersion != a.newVersion)
        versions = a.oldVersion + " -> " + a.newVersion;
    else if (hasNew)
        versions = a.newVersion;
    else if (hasOld)
        versions = a.oldVersion;
    return std::string(kindName(a.kind)) + ' ' + a.name + (versions.empty() ? "" : " " + versions);
}

const char* etcVerb(EtcChange::Kind kind) {
    switch (kind) {
    case EtcChange::Kind::Back:
        return "put back";
    case EtcChange::Kind::Made:
        return "made again";
    case EtcChange::Kind::Removed:
        return "removed";
    case EtcChange::Kind::Owner:
        return "owner/mode";
    }
    return "changed";
}

} // namespace

std::string formatPointList(const std::vector<SystemPoint>& points,
                            const std::set<unsigned long long>& pinned) {
    if (points.empty())
        return "No system points.\n";
    std::string out = "Point  Made (UTC)           Description\n";
    for (const auto& p : points) {
        std::string number = std::to_string(p.number);
        if (number.size() < 5)
            number.insert(0, 5 - number.size(), ' ');
        out += number + "  " + shownTime(p.creationTime) + "  " + p.description +
               (pinned.count(p.number) ? "  [pinned]" : "") + '\n';
        if (p.actions.empty())
            continue;
        std::string before;
        const std::size_t named = std::min(p.actions.size(), kListedActions);
        for (std::size_t i = 0; i < named; ++i)
            before += (i ? ", " : "") + shownAction(p.actions[i]);
        const std::size_t more = p.actions.size() - named + p.moreActions;
        if (more > 0)
            before += ", +" + std::to_string(more) + " more";
        out += "       before: " + before + '\n';
    }
    return out;
}

std::string formatRestorePlan(const PackagePlan& plan, const std::vector<EtcChange>& etc,
                              const std::function<std::string(const PackageTarget&)>& shownName) {
    std::string out;
    const bool packages = !plan.install.empty() || !plan.remove.empty() || !plan.missing.empty() ||
                          !plan.leftAlone.empty();
    if (packages) {
        out += "Packages:\n";
        for (const auto& t : plan.install)
            out += "    put back    " + shownName(t) + ' ' + t.version +
                   (t.from.empty() ? " (from APT's archive)" : " (kept)") + '\n';
        for (const auto& t : plan.remove)
            out += "    removed     " + shownName(t) + ' ' + t.version + " (installed since)\n";
        for (const auto& t : plan.missing)
            out += "    not to be had " + shownName(t) + ' ' + t.version +
                   " (neither kept nor in APT's lists: left as it is)\n";
        for (const auto& t : plan.leftAlone)
            out += "    left alone  " + shownName(t) + ' ' + t.version +
                   " (a restore never changes this program or the running kernel)\n";
    }
    bool marked = false;
    if (!etc.empty()) {
        out += "/etc:\n";
        for (const auto& c : etc) {
            const bool security = securityRelevant(c.path);
            marked = marked || security;
            std::string verb = etcVerb(c.kind);
            verb.resize(std::max<std::size_t>(verb.size(), 11), ' ');
            out += std::string(security ? "  ! " : "    ") + verb + " /" + c.path + '\n';
        }
    }
    if (!packages && etc.empty())
        out += "Nothing differs from the point.\n";
    if (marked)
        out += "! decides who may log in or become root, what runs as root, or what APT trusts: "
               "an old one can undo a password change or bring back a key since revoked.\n";
    return out;
}

std::string consoleText(std::string_view protocolLine) {
    if (!protocolLine.empty() && protocolLine.back() == '\n')
        protocolLine.remove_suffix(1);
    const auto m = proto::parse(protocolLine);
    if (!m)
        return std::string(protocolLine) + '\n';
    switch (m->kind) {
    case proto::Kind::Ask:
    case proto::Kind::Missing:
        return {};
    case proto::Kind::Step:
        return '[' + std::to_string(m->done) + '/' + std::to_string(m->total) + "] " + m->text +
               '\n';
    case proto::Kind::Warn:
        return "warning: " + m->text + '\n';
    case proto::Kind::Before: {
        const std::string n = std::to_string(m->done);
        return "Point " + n + " holds how things were before this restore; " +
               "`qmvigilorn-system restore --point " + n + "` undoes it.\n";
    }
    case proto::Kind::End: {
        const char* word = m->outcome == proto::Outcome::Ok        ? "Done"
                           : m->outcome == proto::Outcome::Stopped ? "Stopped"
                                                                   : "Failed";
        return std::string(word) + (m->text.empty() ? "" : ": " + m->text) + ".\n";
    }
    }
    return {};
}

bool answeredYes(std::string_view line) {
    std::string word(posix::trim(line));
    std::transform(word.begin(), word.end(), word.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return word == "y" || word == "yes";
}

} // namespace vigilorn::sys

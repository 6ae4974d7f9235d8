#include "PackagePool.h"

#include "store/Deb822.h"
#include "store/DebianPackages.h"
#include "system/Run.h"

#include "platform/posix/Files.h"
#include "platform/posix/Text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace vigilorn::sys {

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned kRebuilders = 4;

// The installed packages of these names, from dpkg's status file.
std::vector<KeepTarget> installedOf(std::string_view status, const std::set<std::string>& names) {
    std::vector<KeepTarget> out;
    debian::forEachStanza(status, [&](const debian::Stanza& s) {
        const std::string name(s["Package"]);
        if (!names.count(name) || !debian::isInstalledStatus(s["Status"]))
            return;
        KeepTarget t{name, std::string(s["Version"]), std::string(s["Architecture"]), 0};
        posix::parseDecimal(s["Installed-Size"], t.kib);
        out.push_back(std::move(t));
    });
    return out;
}

// dpkg run on its own names packages without versions: an install of one that is installed
// replaces it too.
bool unversioned(const PackageAction& a) {
    return a.oldVersion == kNoVersion && a.newVersion == kNoVersion &&
           (a.kind == ActionKind::Install || a.kind == ActionKind::Remove ||
            a.kind == ActionKind::Purge);
}

bool replaces(const PackageAction& a) {
    return (a.oldVersion != kNoVersion &&
            (a.kind == ActionKind::Upgrade || a.kind == ActionKind::Downgrade ||
             a.kind == ActionKind::Remove || a.kind == ActionKind::Purge)) ||
           unversioned(a);
}

void settle(KeepNote& note, KeepResult result, const KeepWay* way) {
    note.result = result;
    note.kept = result == KeepResult::Kept || result == KeepResult::AlreadyKept;
    switch (result) {
    case KeepResult::Kept:
        note.how = way ? way->name() : "kept";
        break;
    case KeepResult::AlreadyKept:
        note.how = "already-kept";
        break;
    case KeepResult::TooBig:
        note.how = "too-large";
        break;
    case KeepResult::TooSlow:
        note.how = "too-slow";
        break;
    case KeepResult::NotInstalled:
        note.how = "not-installed";
        break;
    case KeepResult::Failed:
        note.how = "rebuild-failed";
        break;
    }
}

} // namespace

std::string poolFileName(std::string_view name, std::string_view version, std::string_view arch) {
    std::string out(name);
    out += '_';
    for (const char c : version) {
        if (c == ':')
            out += "%3a";
        else
            out += c;
    }
    out += '_';
    out += arch;
    out += ".deb";
    return out;
}

std::string keepNoteText(const std::vector<KeepNote>& notes) {
    std::string text;
    for (const auto& n : notes)
        text += std::string(n.kept ? "kept " : "not-kept ") + n.name + ' ' + n.version + ' ' +
                n.arch + ' ' + n.how + '\n';
    return text;
}

PackagePool::PackagePool(posix::Fd folder, std::string path, PoolOptions options)
    : m_folder(std::move(folder)), m_path(std::move(path)), m_options(std::move(options)) {
    m_place.folder = m_folder.get();
    m_place.path = m_path;
    m_place.owner = m_options.owner;
    m_place.verify = [this](const std::string& file, const KeepTarget& t) {
        return verify(file, t);
    };
    m_ways.push_back(aptCachedCopy(m_options.archives));
    m_ways.push_back(dpkgRepack(m_options.repack, m_options.maxRebuildKiB));
}

bool PackagePool::verify(const std::string& file, const KeepTarget& t) const {
    RunOptions o;
    o.cap = std::chrono::seconds(20);
    o.keep = 4096;
    o.keepStart = true;
    const RunResult r = run({m_options.dpkgDeb, "--show",
                             "--showformat=${Package}\\t${Version}\\t${Architecture}\\n", file},
                            o);
    return r.status == 0 && !r.cut && r.output == t.name + '\t' + t.version + '\t' + t.arch + '\n';
}

std::vector<KeepNote> PackagePool::keep(const std::vector<PackageAction>& actions,
                                        std::string_view status) {
    std::set<std::string> names;
    for (const auto& a : actions)
        if (replaces(a))
            names.insert(a.name.substr(0, a.name.find(':')));
    std::vector<KeepNote> notes;
    if (names.empty())
        return notes;
    const auto installed = installedOf(status, names);
    const auto start = Clock::now();
    // What the slow ways still have to try: the note, its target, the way.
    struct Slow {
        std::size_t note;
        KeepTarget target;
        const KeepWay* way;
    };
    std::vector<Slow> slow;
    for (const auto& a : actions) {
        if (!replaces(a))
            continue;
        const auto colon = a.name.find(':');
        const std::string name = a.name.substr(0, colon);
        const std::string arch = colon == std::string::npos ? "" : a.name.substr(colon + 1);
        const KeepTarget* found = nullptr;
        for (const auto& i : installed)
            if (i.name == name && (unversioned(a) || i.version == a.oldVersion) &&
                (arch.empty() || i.arch == arch)) {
                found = &i;
                break;
            }
        if (!found && unversioned(a))
            continue;
        if (!found) {
            KeepNote note{name, a.oldVersion, arch.empty() ? "-" : arch, false, {}};
            settle(note, KeepResult::NotInstalled, nullptr);
            notes.push_back(std::move(note));
            continue;
        }
        KeepNote note{found->name, found->version, found->arch, false, {}};
        if (std::any_of(notes.begin(), notes.end(), [&](const KeepNote& n) {
                return n.name == note.name && n.version == note.version && n.arch == note.arch;
            }))
            continue;
        const std::string file = poolFileName(found->name, found->version, found->arch);
        if (m_place.holdsFile(file)) {
            settle(note, KeepResult::AlreadyKept, nullptr);
            notes.push_back(std::move(note));
            continue;
        }
        // The quick ways now, one after another; the first slow way that takes it later.
        KeepResult result = KeepResult::Failed;
        const KeepWay* by = nullptr;
        for (const auto& way : m_ways) {
            if (!way->quick())
                continue;
            result = way->keep(*found, file, m_place, m_options.perPackage, 0);
            by = way.get();
            if (result == KeepResult::Kept)
                break;
        }
        if (result != KeepResult::Kept)
            for (const auto& way : m_ways) {
                if (way->quick())
                    continue;
                if (const auto refused = way->refuses(*found)) {
                    result = *refused;
                    continue;
                }
                slow.push_back({notes.size(), *found, way.get()});
                break;
            }
        settle(note, result, by);
        if (!slow.empty() && slow.back().note == notes.size()) {
            note.how = "no-time-left";
            note.result = KeepResult::TooSlow;
        }
        notes.push_back(std::move(note));
    }
    // The slow ways mostly wait on reading the installed files: a few at once.
    std::atomic<std::size_t> next{0};
    auto worker = [&](unsigned id) {
        for (std::size_t i = next++; i < slow.size(); i = next++) {
            const auto left =
                m_options.budget -
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
            if (left.count() < 1000)
                return;
            const Slow& s = slow[i];
            const std::string file = poolFileName(s.target.name, s.target.version, s.target.arch);
            settle(notes[s.note],
                   s.way->keep(s.target, file, m_place, std::min(left, m_options.perPackage), id),
                   s.way);
        }
    };
    std::vector<std::thread> workers;
    for (unsigned id = 1; id < std::min<std::size_t>(kRebuilders, slow.size()); ++id)
        workers.emplace_back(worker, id);
    if (!slow.empty())
        worker(0);
    for (auto& t : workers)
        t.join();
    if (!notes.empty())
        ::fsync(m_folder.get());
    return notes;
}

std::optional<std::string> PackagePool::find(std::string_view name, std::string_view version,
                                             std::string_view arch) const {
    const std::string file = poolFileName(name, version, arch);
    if (!m_place.holdsFile(file))
        return std::nullopt;
    return m_path + '/' + file;
}

std::size_t PackagePool::retain(const std::set<std::string>& wanted) {
    std::size_t removed = 0;
    for (const auto& n : posix::namesIn(m_folder.get()))
        if (n.size() > 4 && n.front() != '.' && n.compare(n.size() - 4, 4, ".deb") == 0 &&
            !wanted.count(n) && ::unlinkat(m_folder.get(), n.c_str(), 0) == 0)
            ++removed;
    return removed;
}

void poolNamesOfList(std::string_view list, std::set<std::string>& out) {
    for (const auto& [key, package] : debian::parseStoredList(list)) {
        const auto tab = key.find('\t');
        if (tab == std::string::npos)
            continue;
        out.insert(poolFileName(std::string_view(key).substr(0, tab), package.version,
                                std::string_view(key).substr(tab + 1)));
    }
}

} // namespace vigilorn::sys

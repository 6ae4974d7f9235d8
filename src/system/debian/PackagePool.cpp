#include "PackagePool.h"

#include "store/Deb822.h"
#include "store/DebianPackages.h"
#include "system/RootFiles.h"
#include "system/Run.h"

#include "platform/posix/Files.h"
#include "platform/posix/Text.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace vigilorn::sys {

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned kRebuilders = 4;
constexpr const char* kBuildLock = ".build.lock";
constexpr std::size_t kMaxStatusSize = 512u << 20;

// The installed packages of these names, from dpkg's status file.
std::vector<KeepTarget> installedOf(std::string_view status, const std::set<std::string>& names) {
    std::vector<KeepTarget> out;
    debian::forEachStanza(status, [&](const debian::Stanza& s) {
        const std::string name(s["Package"]);
        if (!names.count(name) || !debian::isInstalledStatus(s["Status"]))
            return;
        KeepTarget t{name, std::string(s["Version"]), std::string(s["Architecture"]), 0, s.text()};
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

bool isStagedFolder(int dir, const std::string& name) {
    struct stat st {};
    return ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) &&
           st.st_uid == 0;
}

// What a pool entry holds on the disk. A staged file with another name is held by that name
// too (the installed file, until dpkg replaces it).
std::uint64_t bytesOf(int dir, const char* name, bool staged = false) {
    struct stat st {};
    if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return 0;
    if (!S_ISDIR(st.st_mode))
        return S_ISREG(st.st_mode) && (!staged || st.st_nlink == 1)
                   ? static_cast<std::uint64_t>(st.st_blocks) * 512
                   : 0;
    const posix::Fd fd(::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    std::uint64_t total = 0;
    if (fd.valid())
        for (const auto& n : posix::namesIn(fd.get()))
            total += bytesOf(fd.get(), n.c_str(), true);
    return total;
}

// What a staging folder will hold once dpkg replaced the installed files.
std::uint64_t stagedBytes(int dir, const std::string& name) {
    const posix::Fd fd(
        ::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    std::uint64_t total = 0;
    if (fd.valid())
        for (const auto& n : posix::namesIn(fd.get())) {
            struct stat st {};
            if (::fstatat(fd.get(), n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            total += S_ISDIR(st.st_mode)   ? stagedBytes(fd.get(), n)
                     : S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_blocks) * 512
                                           : 0;
        }
    return total;
}

// The installed version of name and arch now, or empty.
std::string installedNow(const std::string& statusPath, const std::string& name,
                         const std::string& arch) {
    const auto status =
        posix::readFile(AT_FDCWD, statusPath, kMaxStatusSize, posix::kNoFollow | posix::kRootOwned);
    if (!status.ok())
        return {};
    for (const auto& i : installedOf(status.text, {name}))
        if (i.arch == arch)
            return i.version;
    return {};
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
    if (m_options.stage)
        m_ways.push_back(stagedByLinks(m_options.sources));
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
        if (m_place.holdsFile(file) || isStagedFolder(m_folder.get(), stagedName(file))) {
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
    for (auto& n : notes)
        if (n.result == KeepResult::Kept) {
            const std::string file = poolFileName(n.name, n.version, n.arch);
            n.bytes = n.how == std::string("staged") ? stagedBytes(m_folder.get(), stagedName(file))
                                                     : bytesOf(m_folder.get(), file.c_str());
        }
    if (!notes.empty())
        ::fsync(m_folder.get());
    return notes;
}

std::optional<std::string> PackagePool::find(std::string_view name, std::string_view version,
                                             std::string_view arch) {
    const std::string file = poolFileName(name, version, arch);
    if (!m_place.holdsFile(file) && isStagedFolder(m_folder.get(), stagedName(file)))
        build(stagedName(file));
    if (!m_place.holdsFile(file))
        return std::nullopt;
    return m_path + '/' + file;
}

PackagePool::Built PackagePool::build(const std::string& staged, int storeFolder) {
    Built out{poolFileOfStaged(staged), false, {}};
    if (out.file.empty())
        return out;
    // One builder for a package at a time: the restore's and the one after a change.
    const posix::Fd buildLock(
        ::openat(m_folder.get(), kBuildLock, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!buildLock.valid() || ::flock(buildLock.get(), LOCK_EX) != 0) {
        out.how = "build-failed";
        return out;
    }
    if (m_place.holdsFile(out.file)) {
        removePoolFolder(m_folder.get(), staged.c_str());
        out.kept = true;
        out.how = "already-kept";
        return out;
    }
    if (!isStagedFolder(m_folder.get(), staged)) {
        out.how = "not-staged";
        return out;
    }
    const StagedCheck check = checkStaged(m_folder.get(), staged);
    const KeepTarget target{check.package.name, check.package.version, check.package.arch, 0, {}};
    const std::string temp = ".new-" + out.file;
    ::unlinkat(m_folder.get(), temp.c_str(), 0);
    if (!target.name.empty() &&
        installedNow(m_options.dpkgStatus, target.name, target.arch) == target.version) {
        // dpkg runs its hooks before it locks: until its status changed after the staging,
        // the change has not run yet.
        struct stat status {
        }, marker{};
        const std::string markerPath = staged + "/" + kStagedMarker;
        if (::stat(m_options.dpkgStatus.c_str(), &status) == 0 &&
            ::fstatat(m_folder.get(), markerPath.c_str(), &marker, AT_SYMLINK_NOFOLLOW) == 0 &&
            (status.st_mtim.tv_sec < marker.st_mtim.tv_sec ||
             (status.st_mtim.tv_sec == marker.st_mtim.tv_sec &&
              status.st_mtim.tv_nsec <= marker.st_mtim.tv_nsec))) {
            out.how = "waiting";
            return out;
        }
        // Nothing replaced it: the change was cancelled, or reinstalled the same version.
        out.how = "not-replaced";
    } else if (check.ok) {
        RunOptions o;
        o.cap = std::chrono::minutes(30);
        o.keep = 4096;
        const RunResult r = run({m_options.dpkgDeb, "-Zgzip", "-z1", "--build",
                                 m_path + '/' + staged + '/' + kStagedTree, m_path + '/' + temp},
                                o);
        if (r.status == 0 && m_place.holdsFile(temp) && verify(m_path + '/' + temp, target)) {
            out.kept = true;
            out.how = "built";
        } else {
            ::unlinkat(m_folder.get(), temp.c_str(), 0);
            out.how = "build-failed";
        }
    } else {
        out.how = check.why;
    }
    // The last step with the store locked: a point being made sees the staging or the file.
    FolderLock lock;
    if (storeFolder >= 0 && lock.acquire(storeFolder, "lock", 600, "busy")) {
        ::unlinkat(m_folder.get(), temp.c_str(), 0);
        out.kept = false;
        out.how = "busy";
        return out;
    }
    if (out.kept &&
        ::renameat(m_folder.get(), temp.c_str(), m_folder.get(), out.file.c_str()) != 0) {
        ::unlinkat(m_folder.get(), temp.c_str(), 0);
        out.kept = false;
        out.how = "build-failed";
    }
    // A staged file changed in place: APT may still have the version.
    if (!out.kept && out.how != "not-replaced" && !target.name.empty() &&
        m_ways.front()->keep(target, out.file, m_place, m_options.perPackage, 0) ==
            KeepResult::Kept) {
        out.kept = true;
        out.how = "cached";
    }
    if (out.kept)
        ::fsync(m_folder.get());
    removePoolFolder(m_folder.get(), staged.c_str());
    return out;
}

std::vector<PackagePool::Built> PackagePool::buildStaged(int storeFolder) {
    std::vector<Built> out;
    std::set<std::string> tried;
    // Changes made while building stage more: until a pass finds nothing new.
    while (true) {
        bool any = false;
        for (const auto& n : posix::namesIn(m_folder.get())) {
            if (poolFileOfStaged(n).empty() || !tried.insert(n).second)
                continue;
            any = true;
            out.push_back(build(n, storeFolder));
        }
        if (!any)
            return out;
    }
}

std::uint64_t PackagePool::remove(const std::string& poolFile) {
    std::uint64_t freed = bytesOf(m_folder.get(), poolFile.c_str());
    if (::unlinkat(m_folder.get(), poolFile.c_str(), 0) != 0)
        freed = 0;
    const std::string staged = stagedName(poolFile);
    if (isStagedFolder(m_folder.get(), staged)) {
        freed += bytesOf(m_folder.get(), staged.c_str());
        removePoolFolder(m_folder.get(), staged.c_str());
    }
    return freed;
}

std::vector<std::pair<std::string, std::uint64_t>> PackagePool::contents() const {
    std::vector<std::pair<std::string, std::uint64_t>> out;
    for (const auto& n : posix::namesIn(m_folder.get())) {
        if (n.front() == '.')
            continue;
        const std::string file =
            n.size() > 4 && n.compare(n.size() - 4, 4, ".deb") == 0 ? n : poolFileOfStaged(n);
        if (!file.empty())
            out.emplace_back(file, bytesOf(m_folder.get(), n.c_str()));
    }
    return out;
}

void PackagePool::unstage(std::vector<KeepNote>& notes, const std::string& why) {
    for (auto& n : notes) {
        if (n.result != KeepResult::Kept)
            continue;
        remove(poolFileName(n.name, n.version, n.arch));
        n.kept = false;
        n.how = why;
        n.result = KeepResult::Failed;
        n.bytes = 0;
    }
}

std::size_t PackagePool::retain(const std::set<std::string>& wanted) {
    std::size_t removed = 0;
    for (const auto& n : posix::namesIn(m_folder.get())) {
        if (n.rfind(".stage-", 0) == 0) {
            // A staging a crash left half made is never finished.
            removePoolFolder(m_folder.get(), n.c_str());
            continue;
        }
        const std::string staged = poolFileOfStaged(n);
        if (!staged.empty()) {
            if (!wanted.count(staged)) {
                removePoolFolder(m_folder.get(), n.c_str());
                ++removed;
            }
        } else if (n.size() > 4 && n.front() != '.' && n.compare(n.size() - 4, 4, ".deb") == 0 &&
                   !wanted.count(n) && ::unlinkat(m_folder.get(), n.c_str(), 0) == 0) {
            ++removed;
        }
    }
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

#include "PackagePool.h"

#include "RootFiles.h"
#include "Run.h"
#include "store/DebianPackages.h"

#include "platform/posix/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <map>
#include <thread>

namespace vigilorn::sys {

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kRepackFolder = ".rebuild";
constexpr unsigned kRebuilders = 4;

constexpr const char* kBuildLock = ".build.lock";
constexpr std::int64_t kMaxStatusSize = 512 * 1024 * 1024;

struct Installed {
    std::string name, arch, version;
    std::int64_t kib = 0;
    std::string_view stanza;
};

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// The installed packages of these names, from dpkg's status file.
std::vector<Installed> installedOf(std::string_view status, const std::set<std::string>& names) {
    std::vector<Installed> out;
    Installed row;
    std::string state;
    const char* stanzaStart = status.data();
    auto flush = [&](const char* end) {
        if (names.count(row.name) && state.size() >= 9 &&
            state.compare(state.size() - 9, 9, "installed") == 0) {
            row.stanza = std::string_view(stanzaStart, static_cast<std::size_t>(end - stanzaStart));
            out.push_back(row);
        }
        row = {};
        state.clear();
    };
    while (!status.empty()) {
        const auto end = status.find('\n');
        const std::string_view line = status.substr(0, end);
        status = end == std::string_view::npos ? std::string_view{} : status.substr(end + 1);
        if (trim(line).empty()) {
            flush(line.data());
            stanzaStart = status.data();
            continue;
        }
        if (line.front() == ' ' || line.front() == '\t')
            continue;
        const auto colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        const std::string_view field = line.substr(0, colon);
        const std::string_view value = trim(line.substr(colon + 1));
        if (field == "Package")
            row.name = value;
        else if (field == "Architecture")
            row.arch = value;
        else if (field == "Version")
            row.version = value;
        else if (field == "Status")
            state = value;
        else if (field == "Installed-Size")
            std::from_chars(value.data(), value.data() + value.size(), row.kib);
    }
    flush(status.data());
    return out;
}

// dpkg run on its own names packages without versions: an install of one that is installed
// replaces it too.
bool unversioned(const PackageAction& a) {
    return a.oldVersion == "-" && a.newVersion == "-" &&
           (a.kind == "install" || a.kind == "remove" || a.kind == "purge");
}

bool replaces(const PackageAction& a) {
    return (a.oldVersion != "-" && (a.kind == "upgrade" || a.kind == "downgrade" ||
                                    a.kind == "remove" || a.kind == "purge")) ||
           unversioned(a);
}

bool isRegularRootFile(int dir, const char* name) {
    struct stat st {};
    return ::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
           st.st_uid == 0;
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
    std::uint64_t total = 0;
    const int fd = ::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return 0;
    for (const auto& n : posix::namesIn(fd))
        total += bytesOf(fd, n.c_str(), true);
    ::close(fd);
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

void removeFolder(int parent, const char* name) {
    removePoolFolder(parent, name);
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

PackagePool::PackagePool(Fd folder, std::string path, PoolOptions options)
    : m_folder(std::move(folder)), m_path(std::move(path)), m_options(std::move(options)) {}

bool PackagePool::verify(const std::string& file, std::string_view name, std::string_view version,
                         std::string_view arch) const {
    RunOptions o;
    o.cap = std::chrono::seconds(20);
    o.keep = 4096;
    o.keepStart = true;
    const RunResult r = run({m_options.dpkgDeb, "--show",
                             "--showformat=${Package}\\t${Version}\\t${Architecture}\\n", file},
                            o);
    return r.status == 0 && !r.cut &&
           r.output ==
               std::string(name) + '\t' + std::string(version) + '\t' + std::string(arch) + '\n';
}

std::vector<KeepNote> PackagePool::keep(const std::vector<PackageAction>& actions,
                                        std::string_view status) {
    std::set<std::string> names;
    for (const auto& a : actions) {
        if (!replaces(a))
            continue;
        const auto colon = a.name.find(':');
        const std::string name = a.name.substr(0, colon);
        names.insert(name);
    }
    std::vector<KeepNote> notes;
    if (names.empty())
        return notes;
    const auto installed = installedOf(status, names);
    const auto start = Clock::now();
    std::vector<std::size_t> rebuilds;
    for (const auto& a : actions) {
        if (!replaces(a))
            continue;
        const auto colon = a.name.find(':');
        const std::string name = a.name.substr(0, colon);
        const std::string arch = colon == std::string::npos ? "" : a.name.substr(colon + 1);
        const Installed* found = nullptr;
        for (const auto& i : installed)
            if (i.name == name && (unversioned(a) || i.version == a.oldVersion) &&
                (arch.empty() || i.arch == arch)) {
                found = &i;
                break;
            }
        if (!found && unversioned(a))
            continue;
        if (!found) {
            notes.push_back(
                {name, a.oldVersion, arch.empty() ? "-" : arch, false, "not-installed"});
            continue;
        }
        KeepNote note{name, found->version, found->arch, false, {}};
        if (std::any_of(notes.begin(), notes.end(), [&](const KeepNote& n) {
                return n.name == note.name && n.version == note.version && n.arch == note.arch;
            }))
            continue;
        const std::string file = poolFileName(name, found->version, found->arch);
        if (isRegularRootFile(m_folder.get(), file.c_str()) ||
            isStagedFolder(m_folder.get(), stagedName(file))) {
            note.kept = true;
            note.how = "already-kept";
            notes.push_back(std::move(note));
            continue;
        }
        // APT's own copy is the package as it came, at the cost of one link and one check.
        if (fromArchive(file, name, found->version, found->arch)) {
            note.kept = true;
            note.how = "cached";
            note.bytes = bytesOf(m_folder.get(), file.c_str());
            notes.push_back(std::move(note));
            continue;
        }
        // A second name for each installed file, before dpkg renames the new ones over them.
        if (m_options.stage) {
            const StageResult staged = stagePackage(
                m_folder.get(), file,
                {name, found->version, found->arch, std::string(found->stanza)}, m_options.sources);
            if (staged.staged) {
                note.kept = true;
                note.how = "staged";
                note.bytes = staged.bytes;
                notes.push_back(std::move(note));
                continue;
            }
        }
        // Else rebuilt from the installed files, within the bounds, after the quick ones.
        if (found->kib > m_options.maxRebuildKiB) {
            note.how = "too-large";
        } else {
            note.how = "no-time-left";
            rebuilds.push_back(notes.size());
        }
        notes.push_back(std::move(note));
    }
    // dpkg-repack mostly waits on reading the installed files: a few at once.
    std::atomic<std::size_t> next{0};
    auto worker = [&](unsigned id) {
        const std::string folder = std::string(kRepackFolder) + '-' + std::to_string(id);
        for (std::size_t i = next++; i < rebuilds.size(); i = next++) {
            const auto left =
                m_options.budget -
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
            if (left.count() < 1000)
                return;
            rebuild(notes[rebuilds[i]], folder, std::min(left, m_options.perPackage));
        }
    };
    std::vector<std::thread> workers;
    for (unsigned id = 1; id < std::min<std::size_t>(kRebuilders, rebuilds.size()); ++id)
        workers.emplace_back(worker, id);
    if (!rebuilds.empty())
        worker(0);
    for (auto& t : workers)
        t.join();
    if (!notes.empty())
        ::fsync(m_folder.get());
    return notes;
}

void PackagePool::rebuild(KeepNote& note, const std::string& folder,
                          std::chrono::milliseconds cap) const {
    removeFolder(m_folder.get(), folder.c_str());
    if (::mkdirat(m_folder.get(), folder.c_str(), 0700) != 0) {
        note.how = "rebuild-failed";
        return;
    }
    RunOptions o;
    o.cap = cap;
    o.keep = 4096;
    o.folder = m_path + '/' + folder;
    const std::string target = note.arch == "all" ? note.name : note.name + ':' + note.arch;
    const RunResult r =
        run({m_options.repack, "--deb-option=-Zgzip", "--deb-option=-z1", target}, o);
    std::string built;
    if (const int dir = ::openat(m_folder.get(), folder.c_str(),
                                 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        dir >= 0) {
        if (DIR* d = ::fdopendir(dir)) {
            while (const dirent* e = ::readdir(d)) {
                const std::string_view n(e->d_name);
                if (n.size() > 4 && n.substr(n.size() - 4) == ".deb" && built.empty())
                    built = n;
            }
            ::closedir(d);
        } else {
            ::close(dir);
        }
    }
    const std::string builtPath = folder + '/' + built;
    const std::string file = poolFileName(note.name, note.version, note.arch);
    if (r.timedOut) {
        note.how = "too-slow";
    } else if (r.status != 0 || built.empty() ||
               !isRegularRootFile(m_folder.get(), builtPath.c_str()) ||
               !verify(m_path + '/' + builtPath, note.name, note.version, note.arch) ||
               ::renameat(m_folder.get(), builtPath.c_str(), m_folder.get(), file.c_str()) != 0) {
        note.how = "rebuild-failed";
    } else {
        note.kept = true;
        note.how = "rebuilt";
        note.bytes = bytesOf(m_folder.get(), file.c_str());
    }
    removeFolder(m_folder.get(), folder.c_str());
}

bool PackagePool::fromArchive(const std::string& file, std::string_view name,
                              std::string_view version, std::string_view arch) const {
    const std::string temp = ".new-" + file;
    ::unlinkat(m_folder.get(), temp.c_str(), 0);
    // APT's own copy, when it still has it: a second name for the same file. linkat()
    // without AT_SYMLINK_FOLLOW never follows a link, and what was linked is checked in
    // the pool, where nobody else can change it.
    const std::string cached = m_options.archives + '/' + file;
    struct stat st {};
    if (::lstat(cached.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 &&
        ::linkat(AT_FDCWD, cached.c_str(), m_folder.get(), temp.c_str(), 0) == 0) {
        if (isRegularRootFile(m_folder.get(), temp.c_str()) &&
            verify(m_path + '/' + temp, name, version, arch) &&
            ::renameat(m_folder.get(), temp.c_str(), m_folder.get(), file.c_str()) == 0)
            return true;
        ::unlinkat(m_folder.get(), temp.c_str(), 0);
    }
    return false;
}

PackagePool::Built PackagePool::build(const std::string& staged, int storeFolder) {
    Built out{poolFileOfStaged(staged), false, {}};
    if (out.file.empty())
        return out;
    // One builder for a package at a time: the restore's and the one after a change.
    const int lockFd =
        ::openat(m_folder.get(), kBuildLock, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    const Fd buildLock(lockFd);
    if (!buildLock.valid() || ::flock(buildLock.get(), LOCK_EX) != 0) {
        out.how = "build-failed";
        return out;
    }
    if (isRegularRootFile(m_folder.get(), out.file.c_str())) {
        removeFolder(m_folder.get(), staged.c_str());
        out.kept = true;
        out.how = "already-kept";
        return out;
    }
    if (!isStagedFolder(m_folder.get(), staged)) {
        out.how = "not-staged";
        return out;
    }
    const StagedCheck check = checkStaged(m_folder.get(), staged);
    const StagedPackage& p = check.package;
    const std::string temp = ".new-" + out.file;
    ::unlinkat(m_folder.get(), temp.c_str(), 0);
    if (!p.name.empty() && installedNow(m_options.dpkgStatus, p.name, p.arch) == p.version) {
        // dpkg runs its hooks before it locks: until its status changed after the staging,
        // the change has not run yet.
        struct stat status {}, marker {};
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
        if (r.status == 0 && isRegularRootFile(m_folder.get(), temp.c_str()) &&
            verify(m_path + '/' + temp, p.name, p.version, p.arch)) {
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
    if (!out.kept && out.how != "not-replaced" && !p.name.empty() &&
        fromArchive(out.file, p.name, p.version, p.arch)) {
        out.kept = true;
        out.how = "cached";
    }
    if (out.kept)
        ::fsync(m_folder.get());
    removeFolder(m_folder.get(), staged.c_str());
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
        removeFolder(m_folder.get(), staged.c_str());
    }
    return freed;
}

std::vector<std::pair<std::string, std::uint64_t>> PackagePool::contents() const {
    std::vector<std::pair<std::string, std::uint64_t>> out;
    for (const auto& n : posix::namesIn(m_folder.get())) {
        if (n.front() == '.')
            continue;
        const std::string file =
            n.size() > 4 && n.substr(n.size() - 4) == ".deb" ? n : poolFileOfStaged(n);
        if (!file.empty())
            out.emplace_back(file, bytesOf(m_folder.get(), n.c_str()));
    }
    return out;
}

void PackagePool::unstage(std::vector<KeepNote>& notes, const std::string& why) {
    for (auto& n : notes) {
        if (!n.kept || n.how == "already-kept")
            continue;
        remove(poolFileName(n.name, n.version, n.arch));
        n.kept = false;
        n.how = why;
        n.bytes = 0;
    }
}

std::optional<std::string> PackagePool::find(std::string_view name, std::string_view version,
                                             std::string_view arch) {
    const std::string file = poolFileName(name, version, arch);
    if (!isRegularRootFile(m_folder.get(), file.c_str()) &&
        isStagedFolder(m_folder.get(), stagedName(file)))
        build(stagedName(file));
    if (!isRegularRootFile(m_folder.get(), file.c_str()))
        return std::nullopt;
    return m_path + '/' + file;
}

std::size_t PackagePool::retain(const std::set<std::string>& wanted) {
    std::vector<std::string> names;
    const int fd = ::openat(m_folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    if (DIR* dir = ::fdopendir(fd)) {
        while (const dirent* e = ::readdir(dir)) {
            const std::string_view n(e->d_name);
            if (n.size() > 4 && n.front() != '.' &&
                (n.substr(n.size() - 4) == ".deb" || !poolFileOfStaged(n).empty()))
                names.emplace_back(n);
        }
        ::closedir(dir);
    } else {
        ::close(fd);
    }
    std::size_t removed = 0;
    for (const auto& n : names) {
        const std::string file = poolFileOfStaged(n);
        if (!file.empty()) {
            if (!wanted.count(file)) {
                removeFolder(m_folder.get(), n.c_str());
                ++removed;
            }
        } else if (!wanted.count(n) && ::unlinkat(m_folder.get(), n.c_str(), 0) == 0) {
            ++removed;
        }
    }
    // A staging a crash left half made is never finished.
    for (const auto& n : posix::namesIn(m_folder.get()))
        if (n.rfind(".stage-", 0) == 0)
            removeFolder(m_folder.get(), n.c_str());
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

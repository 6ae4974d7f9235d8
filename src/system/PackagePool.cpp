#include "PackagePool.h"

#include "Run.h"
#include "store/DebianPackages.h"

#include <dirent.h>
#include <fcntl.h>
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

struct Installed {
    std::string name, arch, version;
    std::int64_t kib = 0;
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
    auto flush = [&] {
        if (names.count(row.name) && state.size() >= 9 &&
            state.compare(state.size() - 9, 9, "installed") == 0)
            out.push_back(row);
        row = {};
        state.clear();
    };
    while (!status.empty()) {
        const auto end = status.find('\n');
        const std::string_view line = status.substr(0, end);
        status = end == std::string_view::npos ? std::string_view{} : status.substr(end + 1);
        if (trim(line).empty()) {
            flush();
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
    flush();
    return out;
}

// dpkg run on its own names packages without versions: an install of one that is installed
// replaces it too.
bool unversioned(const PackageAction& a) {
    return a.oldVersion == "-" && a.newVersion == "-" &&
           (a.kind == ActionKind::Install || a.kind == ActionKind::Remove ||
            a.kind == ActionKind::Purge);
}

bool replaces(const PackageAction& a) {
    return (a.oldVersion != "-" &&
            (a.kind == ActionKind::Upgrade || a.kind == ActionKind::Downgrade ||
             a.kind == ActionKind::Remove || a.kind == ActionKind::Purge)) ||
           unversioned(a);
}

bool isRegularRootFile(int dir, const char* name) {
    struct stat st {};
    return ::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
           st.st_uid == 0;
}

// Removes a folder of the pool and what is in it; nothing in it is followed.
void removeFolder(int parent, const char* name) {
    const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        if (DIR* dir = ::fdopendir(fd)) {
            std::vector<std::string> names;
            while (const dirent* e = ::readdir(dir))
                if (std::string_view(e->d_name) != "." && std::string_view(e->d_name) != "..")
                    names.emplace_back(e->d_name);
            for (const auto& n : names)
                if (::unlinkat(::dirfd(dir), n.c_str(), 0) != 0 && errno == EISDIR)
                    removeFolder(::dirfd(dir), n.c_str());
            ::closedir(dir);
        } else {
            ::close(fd);
        }
    }
    ::unlinkat(parent, name, AT_REMOVEDIR);
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
        const std::string temp = ".new-" + file;
        if (isRegularRootFile(m_folder.get(), file.c_str())) {
            note.kept = true;
            note.how = "already-kept";
            notes.push_back(std::move(note));
            continue;
        }
        ::unlinkat(m_folder.get(), temp.c_str(), 0);
        // APT's own copy, when it still has it: a second name for the same file. linkat()
        // without AT_SYMLINK_FOLLOW never follows a link, and what was linked is checked in
        // the pool, where nobody else can change it.
        const std::string cached = m_options.archives + '/' + file;
        struct stat st {};
        if (::lstat(cached.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 &&
            ::linkat(AT_FDCWD, cached.c_str(), m_folder.get(), temp.c_str(), 0) == 0) {
            if (isRegularRootFile(m_folder.get(), temp.c_str()) &&
                verify(m_path + '/' + temp, name, found->version, found->arch) &&
                ::renameat(m_folder.get(), temp.c_str(), m_folder.get(), file.c_str()) == 0) {
                note.kept = true;
                note.how = "cached";
                notes.push_back(std::move(note));
                continue;
            }
            ::unlinkat(m_folder.get(), temp.c_str(), 0);
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
    }
    removeFolder(m_folder.get(), folder.c_str());
}

std::optional<std::string> PackagePool::find(std::string_view name, std::string_view version,
                                             std::string_view arch) const {
    const std::string file = poolFileName(name, version, arch);
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
            if (n.size() > 4 && n.front() != '.' && n.substr(n.size() - 4) == ".deb")
                names.emplace_back(n);
        }
        ::closedir(dir);
    } else {
        ::close(fd);
    }
    std::size_t removed = 0;
    for (const auto& n : names)
        if (!wanted.count(n) && ::unlinkat(m_folder.get(), n.c_str(), 0) == 0)
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

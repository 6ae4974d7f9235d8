#include "SystemStore.h"

#include "Pins.h"
#include "RootFiles.h"
#include "StoreView.h"
#include "StoredPoint.h"
#include "debian/PackagePool.h"

#include "platform/RestoreEngine.h"
#include "platform/posix/Stream.h"
#include "platform/posix/Text.h"
#include "store/BuiltinStore.h"
#include "store/DebianPackages.h"
#include "store/GitHandle.h"

#include <git2.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>

namespace vigilorn::sys {

namespace {

constexpr const char* kRepository = "points.git";
constexpr const char* kStampName = "unattended.stamp";
constexpr const char* kWindowStampName = "window.stamp";
constexpr const char* kWindowLockName = "window.lock";
// A list of 50 points with 50 actions each is far below this.
constexpr std::int64_t kMaxListSize = 16 * 1024 * 1024;
constexpr std::int64_t kMaxStatusSize = 512 * 1024 * 1024;
constexpr const char* kKeptFileName = "kept-packages.txt";

bool parseNumber(std::string_view text, unsigned long long& out) {
    return posix::parseDecimal(text, out);
}

std::vector<std::string_view> splitOn(std::string_view line, char sep) {
    std::vector<std::string_view> out;
    while (true) {
        const auto at = line.find(sep);
        out.push_back(line.substr(0, at));
        if (at == std::string_view::npos)
            return out;
        line.remove_prefix(at + 1);
    }
}

bool validAction(const PackageAction& a) {
    const auto colon = a.name.find(':');
    const bool name = colon == std::string::npos
                          ? debian::isValidName(a.name)
                          : debian::isValidName(std::string_view(a.name).substr(0, colon)) &&
                                debian::isValidArch(std::string_view(a.name).substr(colon + 1)) &&
                                a.name[colon + 1] >= 'a' && a.name[colon + 1] <= 'z';
    auto version = [](const std::string& v) { return v == "-" || debian::isValidVersion(v); };
    return name && version(a.oldVersion) && version(a.newVersion);
}

} // namespace

std::optional<std::string> cleanText(std::string_view text, std::size_t limit) {
    std::string out;
    std::size_t i = 0;
    bool full = false;
    while (i < text.size()) {
        const auto [len, cp] = posix::utf8Char(text.substr(i));
        if (len == 0 || cp == 0)
            return std::nullopt;
        const bool control = cp < 0x20 || (cp >= 0x7f && cp <= 0x9f);
        // Still checked past the bound: a text is refused or taken, never half-checked.
        if (!full) {
            const std::size_t add = control ? 1 : len;
            if (out.size() + add > limit)
                full = true;
            else if (control)
                out += ' ';
            else
                out.append(text.substr(i, len));
        }
        i += len;
    }
    return out;
}

Failure parseArguments(const std::vector<std::string>& args, Request& out) {
    const auto given = pointreq::parseCreateArguments(args);
    if (!given)
        return PlatformError{EINVAL, std::string(pointreq::kUsage)};
    out = {};
    out.reason = given->reason;
    out.paced = given->paced;
    out.within = given->within;
    const auto description = cleanText(given->description);
    const auto change = cleanText(given->change.value_or(std::string()));
    if (!description || !change)
        return PlatformError{EINVAL, "A description must be UTF-8 text"};
    out.description = *description;
    out.change = *change;
    out.frontend = given->frontend;
    if (!pointreq::validFrontend(out.frontend))
        return PlatformError{EINVAL, "A front end is named by letters, digits and ._+-"};
    return std::nullopt;
}

Failure takeWindowTurn(const std::string& folder, std::int64_t now, FolderLock& held) {
    posix::Fd root;
    if (auto f = openRootPath(folder, 0755, root))
        return f;
    if (auto f = held.acquire(root.get(), kWindowLockName, 0,
                              "A restore point from the window is being made already"))
        return f;
    unsigned long long last = 0;
    const auto stamp = readSmall(root.get(), kWindowStampName, 32, true);
    std::string_view text = stamp ? std::string_view(*stamp) : std::string_view{};
    if (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);
    // A stamp in the future means the clock went back: it no longer says how long ago.
    if (parseNumber(text, last) && now >= 0 && static_cast<unsigned long long>(now) >= last &&
        static_cast<unsigned long long>(now) - last <
            static_cast<unsigned long long>(kWindowPointSeconds)) {
        const auto wait = static_cast<unsigned long long>(kWindowPointSeconds) -
                          (static_cast<unsigned long long>(now) - last);
        return PlatformError{EAGAIN, "A restore point was made from the window less than " +
                                         std::to_string(kWindowPointSeconds / 60) +
                                         " minutes ago; try again in " +
                                         std::to_string((wait + 59) / 60) + " minutes"};
    }
    return replaceFile(root.get(), kWindowStampName, std::to_string(now) + "\n", 0600);
}

std::vector<PackageAction> parseActions(std::string_view text) {
    std::vector<PackageAction> actions;
    for (const std::string_view line : splitOn(text, '\n'))
        if (auto a = parseActionLine(line); a && validAction(*a))
            actions.push_back(std::move(*a));
    return actions;
}

std::string readInput(int fd, std::size_t limit, int milliseconds) {
    if (::fcntl(fd, F_GETFD) < 0 || ::isatty(fd))
        return {};
    auto read = posix::readStream(fd, limit, std::chrono::milliseconds(milliseconds));
    std::string data = std::move(read.text);
    if (!read.complete()) {
        data.resize(std::min(data.size(), limit));
        const auto lastLine = data.rfind('\n');
        data.resize(lastLine == std::string::npos ? 0 : lastLine + 1);
    }
    return data;
}

std::string pointDescription(const Request& request) {
    return request.reason == Reason::Asked ? std::string(kAskedDescription) : request.description;
}

namespace {

std::string actionRecords(const std::vector<PackageAction>& actions) {
    std::string text;
    for (const auto& a : actions)
        text += "action\t" + a.name + "\t" + a.oldVersion + "\t" + a.newVersion + "\t" +
                kindName(a.kind) + "\n";
    return text;
}

} // namespace

std::string changeFile(const Request& request) {
    return "reason\t" + std::string(reasonName(request.reason)) + "\nfrontend\t" +
           request.frontend + "\ndescription\t" + request.description + "\nchange\t" +
           request.change + "\n" + actionRecords(request.actions);
}

bool parseChangeFile(std::string_view text, ChangeRecord& out) {
    out = {};
    if (text.empty() || text.back() != '\n')
        return false;
    text.remove_suffix(1);
    int seen = 0;
    for (const auto line : splitOn(text, '\n')) {
        const auto f = splitOn(line, '\t');
        std::string* const fields[] = {&out.reason, &out.frontend, &out.description, &out.change};
        static constexpr std::string_view kKeys[] = {"reason", "frontend", "description", "change"};
        if (seen < 4) {
            if (f.size() != 2 || f[0] != kKeys[seen])
                return false;
            *fields[seen++] = f[1];
            continue;
        }
        const auto kind = f.size() == 5 ? parseKind(f[4]) : std::nullopt;
        if (!kind || f[0] != "action")
            return false;
        out.actions.push_back({std::string(f[1]), std::string(f[2]), std::string(f[3]), *kind});
    }
    return seen == 4;
}

void SystemStore::fitWithin(int within, Options& options) {
    if (within <= 0)
        return;
    options.lockWaitSeconds = std::max(1, within / 4);
    options.pool.budget = std::chrono::milliseconds(within * 1000 / 2);
    options.pool.perPackage = std::min(options.pool.perPackage, options.pool.budget);
}

SystemStore::SystemStore(Options options) : m_options(std::move(options)) {
    initLibGit2WithoutSettings();
}

SystemStore::~SystemStore() {
    git_libgit2_shutdown();
}

Failure SystemStore::create(const Request& request, unsigned long long& number) {
    posix::Fd root, repo;
    if (auto f = openRootPath(m_options.folder, 0755, root))
        return f;
    if (auto f = openRootFolder(root.get(), kRepository, repository(), 0700, repo))
        return f;
    FolderLock lock;
    if (!m_options.lockHeld)
        if (auto f = lock.acquire(root.get(), kLockName, m_options.lockWaitSeconds,
                                  "Another system point is still being made, or a restore runs"))
            return f;
    // The replaced packages are kept before anything else, so that even a change that gets no
    // point of its own (an unattended one soon after another) can be undone.
    std::optional<PackagePool> pool = keepReplaced(root.get(), request);
    // A point that could not be made keeps nothing for the change: nothing would name it.
    const Failure made = createKept(root.get(), request, pool, number);
    if (made && pool)
        pool->unstage(m_kept, "no-point");
    return made;
}

Failure SystemStore::createKept(int rootFd, const Request& request,
                                std::optional<PackagePool>& pool, unsigned long long& number) {
    const posix::Fd root(::dup(rootFd));
    makeRoom(root.get(), request, pool);
    BuiltinStore store(storeOptions(request));
    const std::int64_t now = m_options.now ? m_options.now() : std::time(nullptr);
    if (request.reason == Reason::Unattended) {
        bool recent = false;
        if (auto f = recentUnattended(root.get(), store, now, number, recent))
            return f;
        if (recent) {
            addToRecent(root.get(), store, request, number);
            return std::nullopt;
        }
    }
    std::vector<RestorePointRecord> records;
    if (auto f = commit(store, request, records, number))
        return f;
    if (auto f = writeList(root.get(), records, request.actions, number))
        return f;
    if (request.reason == Reason::Unattended)
        if (auto f = replaceFile(root.get(), kStampName, std::to_string(now) + "\n", 0600))
            return f;
    if (pool)
        retain(*pool);
    return std::nullopt;
}

std::optional<PackagePool> SystemStore::keepReplaced(int root, const Request& request) {
    m_kept.clear();
    if (!m_options.keepPackages)
        return std::nullopt;
    posix::Fd poolFolder;
    if (auto f = openRootFolder(root, kPoolFolderName, poolPath(), 0700, poolFolder)) {
        if (m_options.warn)
            m_options.warn(f->description);
        return std::nullopt;
    }
    std::optional<PackagePool> pool(std::in_place, std::move(poolFolder), poolPath(),
                                    m_options.pool);
    if (!request.actions.empty())
        if (const auto status = readSmall(AT_FDCWD, m_options.dpkgStatus.c_str(), kMaxStatusSize))
            m_kept = pool->keep(request.actions, *status);
    return pool;
}

BuiltinStore::Options SystemStore::storeOptions(const Request& request) const {
    BuiltinStore::Options o;
    o.repository = repository();
    o.excluded = {m_options.folder};
    o.displayName = "system points in " + m_options.folder;
    o.dpkgStatus = m_options.dpkgStatus;
    o.flatpakSystem = m_options.flatpakSystem;
    o.flatpakUser.clear();
    o.etc = m_options.etc;
    // Without a view of the store, by count alone.
    o.keep = m_viewed ? 0 : m_options.keep;
    o.drop.insert(m_drop.begin(), m_drop.end());
    o.lockWaitSeconds = m_options.lockWaitSeconds;
    o.warn = m_options.warn;
    o.etcOwners = true;
    o.extraFiles = {{"change.txt", changeFile(request)}};
    if (!m_kept.empty())
        o.extraFiles.push_back({kKeptFileName, keepNoteText(m_kept)});
    return o;
}

Failure SystemStore::recentUnattended(int root, BuiltinStore& store, std::int64_t now,
                                      unsigned long long& number, bool& recent) const {
    recent = false;
    unsigned long long last = 0;
    const auto stamp = readSmall(root, kStampName, 32);
    std::string_view text = stamp ? std::string_view(*stamp) : std::string_view{};
    if (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);
    // A stamp in the future means the clock went back: it no longer says how long ago.
    if (!parseNumber(text, last) || now < 0 || static_cast<unsigned long long>(now) < last ||
        static_cast<unsigned long long>(now) - last >=
            static_cast<unsigned long long>(kUnattendedSeconds))
        return std::nullopt;
    std::vector<RestorePointRecord> records;
    if (auto f = store.listRestorePoints(records))
        return f;
    recent = !records.empty() && parseNumber(records.back().SequenceNumber, number);
    return std::nullopt;
}

Failure SystemStore::commit(BuiltinStore& store, const Request& request,
                            std::vector<RestorePointRecord>& records,
                            unsigned long long& number) const {
    if (auto f = store.createRestorePointKeeping(pointDescription(request), kRestorePointType,
                                                 kRestorePointEventType, request.keep))
        return f;
    if (auto f = store.listRestorePoints(records))
        return f;
    // The lock keeps every other creation out, so the newest point is this one.
    if (records.empty() || !parseNumber(records.back().SequenceNumber, number))
        return PlatformError{EIO, "The new system point can't be found in the store"};
    return std::nullopt;
}

void SystemStore::addToRecent(int root, BuiltinStore& store, const Request& request,
                              unsigned long long number) const {
    std::vector<std::pair<std::string, std::string>> additions;
    if (!request.actions.empty())
        additions.push_back({"change.txt", actionRecords(request.actions)});
    if (!m_kept.empty())
        additions.push_back({kKeptFileName, keepNoteText(m_kept)});
    if (additions.empty())
        return;
    // The point restores what it did, recorded or not: a record that can't be written is told,
    // not the change's failure.
    Failure f = store.appendToNewest(number, additions);
    std::vector<RestorePointRecord> records;
    if (!f)
        f = store.listRestorePoints(records);
    if (!f)
        f = writeList(root, records, request.actions, number, true);
    if (f && m_options.warn)
        m_options.warn("restore point " + std::to_string(number) +
                       " is this change's too, but does not name it: " + f->description);
}

Failure SystemStore::writeList(int root, const std::vector<RestorePointRecord>& records,
                               const std::vector<PackageAction>& actions, unsigned long long number,
                               bool append) const {
    // Actions are kept only here and in each point's change.txt: carry over the earlier ones.
    std::map<unsigned long long, SystemPoint> before;
    if (const auto old = readSmall(root, kSystemPointListName, kMaxListSize))
        for (auto& p : parseSystemPointList(*old))
            before[p.number] = std::move(p);
    std::vector<SystemPoint> points;
    for (const auto& r : records) {
        SystemPoint p;
        if (!parseNumber(r.SequenceNumber, p.number))
            continue;
        p.creationTime = r.creationtime;
        p.description = r.Description;
        const bool added = p.number == number && append;
        const auto change = m_changes.find(p.number);
        if (p.number == number && !append) {
            p.actions = actions;
        } else if (added && change != m_changes.end()) {
            // Whole, from the point's own record rather than the list's bounded line.
            p.actions = change->second;
        } else if (const auto it = before.find(p.number);
                   it != before.end() && it->second.creationTime == p.creationTime) {
            p.actions = it->second.actions;
            p.moreActions = it->second.moreActions;
        } else if (change != m_changes.end()) {
            // A list that could not be written before (a full disk) is rebuilt from the points.
            p.actions = change->second;
        }
        if (added)
            p.actions.insert(p.actions.end(), actions.begin(), actions.end());
        points.push_back(std::move(p));
    }
    return replaceFile(root, kSystemPointListName, formatSystemPointList(points), 0644);
}

// A kept file stays while some point's package list names its version.
void SystemStore::retain(PackagePool& pool) const {
    std::vector<std::string> lists;
    if (readPackageLists(repository(), lists) || lists.empty())
        return;
    std::set<std::string> wanted;
    for (const auto& list : lists)
        poolNamesOfList(list, wanted);
    pool.retain(wanted);
}

void SystemStore::makeRoom(int root, const Request& request, std::optional<PackagePool>& pool) {
    m_drop.clear();
    std::vector<std::string> problems;
    const SpaceSettings settings = readSpaceSettings(m_options.config, problems);
    for (const auto& p : problems)
        if (m_options.warn)
            m_options.warn(p);
    // The points as they are: what each one needs, and its change, for the list.
    StoreView view;
    m_viewed = !readStoreView(repository(), pool ? &*pool : nullptr, view);
    m_changes.clear();
    if (!m_viewed)
        return;
    for (auto& [number, change] : view.changes)
        m_changes[number] = std::move(change.actions);
    const auto pins = readPins(root);
    unsigned long long keepNumber = 0;
    const bool protect = posix::parseDecimal(request.keep, keepNumber);
    for (auto& p : view.points)
        p.kept = pins.count(p.number) || (protect && p.number == keepNumber);
    struct statvfs fs {};
    const bool sized = ::fstatvfs(root, &fs) == 0;
    const std::uint64_t fsBytes = sized ? std::uint64_t(fs.f_blocks) * fs.f_frsize : 0;
    SpaceNeed need;
    need.newIsWindow = request.reason == Reason::Window;
    auto newlyKept = [](const KeepNote& k) { return k.kept && k.result == KeepResult::Kept; };
    for (const auto& k : m_kept)
        if (newlyKept(k))
            need.newBytes += k.bytes;
    // The new point's own files: about as much as /etc changed, rarely more than this.
    constexpr std::uint64_t kNewObjects = 1u << 20;
    need.newBytes += kNewObjects;
    if (pool) {
        const auto status = readSmall(AT_FDCWD, m_options.dpkgStatus.c_str(), kMaxStatusSize);
        for (const auto& [key, package] :
             debian::parseStatusFile(status ? std::string_view(*status) : std::string_view{})) {
            const auto tab = key.find('\t');
            need.newHolds.push_back(
                poolKey(poolFileName(key.substr(0, tab), package.version, key.substr(tab + 1))));
        }
        for (const auto& k : m_kept)
            need.newHolds.push_back(poolKey(poolFileName(k.name, k.version, k.arch)));
    }
    need.used = view.used;
    need.budget = sized ? settings.budget(fsBytes) : ~0ull;
    need.freeBytes = sized ? std::uint64_t(fs.f_bavail) * fs.f_frsize : ~0ull;
    need.floor = sized ? settings.floor(fsBytes) : 0;
    m_options.keep = settings.points;
    SpacePlan plan = planSpace(view.points, view.bytes, settings, need);
    if (!plan.fits && pool && std::any_of(m_kept.begin(), m_kept.end(), newlyKept)) {
        // The change goes on with a point of its own still, without its packages.
        pool->unstage(m_kept, "no-room");
        need.newBytes = kNewObjects;
        plan = planSpace(view.points, view.bytes, settings, need);
        if (m_options.warn)
            m_options.warn("no room for the replaced packages within the space for system "
                           "points; this point keeps none of them");
    }
    m_drop = std::move(plan.drop);
}

Failure SystemStore::writeSizes() {
    posix::Fd root, poolFolder;
    if (auto f = openRootPath(m_options.folder, 0755, root, false))
        return f;
    FolderLock lock;
    if (auto f = lock.acquire(root.get(), kLockName, m_options.lockWaitSeconds,
                              "Another system point is still being made"))
        return f;
    std::optional<PackagePool> pool;
    if (!openRootFolder(root.get(), kPoolFolderName, poolPath(), 0700, poolFolder, false))
        pool.emplace(std::move(poolFolder), poolPath(), m_options.pool);
    StoreView view;
    if (auto f = readStoreView(repository(), pool ? &*pool : nullptr, view))
        return f;
    SystemPointSizes sizes = pointSizes(view.points, view.bytes);
    sizes.total = view.used;
    std::vector<std::string> problems;
    const SpaceSettings settings = readSpaceSettings(m_options.config, problems);
    struct statvfs fs {};
    if (::fstatvfs(root.get(), &fs) == 0)
        sizes.budget = settings.budget(std::uint64_t(fs.f_blocks) * fs.f_frsize);
    return replaceFile(root.get(), kSystemPointSizesName, formatSystemPointSizes(sizes), 0644);
}

} // namespace vigilorn::sys

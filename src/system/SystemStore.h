#pragma once
// System points: restore points of the whole machine, made as root before a package change,
// in a root-owned folder beside a list every user may read.
#include "RootFiles.h"
#include "Space.h"
#include "debian/PackagePool.h"
#include "platform/PlatformError.h"
#include "platform/PointRequest.h"
#include "platform/SystemPointList.h"
#include "store/BuiltinStore.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vigilorn::sys {

using pointreq::kAskedDescription;
using pointreq::kMaxDescription;
using pointreq::Reason;
using pointreq::reasonName;

inline constexpr std::size_t kMaxInput = 1024 * 1024;
inline constexpr int kInputMilliseconds = 10'000;
inline constexpr std::int64_t kUnattendedSeconds = 20 * 60;
// What a user at the machine may ask without a password: a point from the window, at most one
// in this long, so that nobody can push the others out of the store by asking in a loop.
inline constexpr std::int64_t kWindowPointSeconds = 5 * 60;

struct Request {
    Reason reason = Reason::Window;
    std::string frontend;
    std::string description; // cleaned
    std::string change;      // cleaned; empty when not given
    std::vector<PackageAction> actions;
    std::string keep;   // a point the new one's retention must not prune
    bool paced = false; // `window-point`: at most one every kWindowPointSeconds
    int within = 0;     // seconds the whole creation may take; 0: the store's own bounds
};

// User text made safe to store and show: nullopt when it is not UTF-8 or holds a NUL; control
// characters become spaces; cut at a character boundary to at most `limit` bytes.
std::optional<std::string> cleanText(std::string_view text, std::size_t limit = kMaxDescription);

// The arguments after the program's name: `create ...`, or `window-point --description TEXT`,
// the one request polkit lets a user at the machine make without a password. The failure's
// text is a usage message.
Failure parseArguments(const std::vector<std::string>& args, Request& out);

// A paced request's turn: refused while another is being made or the last one is younger than
// kWindowPointSeconds; otherwise the turn is stamped, made or not, so that failing requests
// cost as much as good ones. `held` keeps the others out until it goes.
Failure takeWindowTurn(const std::string& folder, std::int64_t now, FolderLock& held);

// "name old new kind" lines, "-" for an absent version; lines that don't parse are skipped.
std::vector<PackageAction> parseActions(std::string_view text);

// At most `limit` bytes, for at most `milliseconds`; a line cut by either bound is dropped.
// A closed descriptor or a terminal reads as nothing.
std::string readInput(int fd, std::size_t limit, int milliseconds);

// What the point is called: kAskedDescription when asked, else the given text.
std::string pointDescription(const Request& request);

// change.txt: "key\tvalue" lines (reason, frontend, description, change), then
// "action\tname\told\tnew\tkind" per package action.
struct ChangeRecord {
    std::string reason, frontend, description, change;
    std::vector<PackageAction> actions;
};
std::string changeFile(const Request& request);
bool parseChangeFile(std::string_view text, ChangeRecord& out);

class SystemStore {
public:
    struct Options {
        std::string folder = kSystemPointFolder;
        std::string etc = "/etc";
        std::string dpkgStatus = "/var/lib/dpkg/status";
        std::string flatpakSystem = "/var/lib/flatpak";
        unsigned keep = 50;
        // Below the hook's 120 s, so that it hears why rather than timing out.
        int lockWaitSeconds = 100;
        // The caller holds the folder's lock already (a restore, for its whole run).
        bool lockHeld = false;
        std::function<std::int64_t()> now; // seconds since the epoch; the real clock if empty
        std::function<void(const std::string&)> warn;
        // Keep the installed versions the actions replace, in the pool beside the store.
        bool keepPackages = false;
        PoolOptions pool;
        // The space budget's settings; the defaults when the file is absent.
        std::string config = "/etc/qmvigilorn/system.conf";
    };

    // The waits fitted into `within` seconds: a quarter for the lock, half for keeping the
    // replaced packages, the rest for the point itself.
    static void fitWithin(int within, Options& options);

    explicit SystemStore(Options options);
    ~SystemStore();
    SystemStore(const SystemStore&) = delete;
    SystemStore& operator=(const SystemStore&) = delete;

    // Makes a point and rewrites points.list; an unattended change within
    // kUnattendedSeconds of the last unattended point gets that newest point's number instead,
    // and its actions and kept packages are added to that point.
    Failure create(const Request& request, unsigned long long& number);

    std::string repository() const { return m_options.folder + "/points.git"; }
    std::string poolPath() const { return m_options.folder + "/" + kPoolFolderName; }
    // The folder's lock, which create() takes and a restore holds while it runs.
    static constexpr const char* kLockName = "lock";
    // What the last create() kept of the replaced packages.
    const std::vector<KeepNote>& kept() const { return m_kept; }

    // Rewrites sizes.list from the store as it is.
    Failure writeSizes();

private:
    // The steps of create(), in order, under the store's lock.
    std::optional<PackagePool> keepReplaced(int root, const Request& request);
    Failure createKept(int root, const Request& request, std::optional<PackagePool>& pool,
                       unsigned long long& number);
    // The points that go to make room for the new one, by count and by space; without room the
    // change's packages are let go.
    void makeRoom(int root, const Request& request, std::optional<PackagePool>& pool);
    BuiltinStore::Options storeOptions(const Request& request) const;
    // An unattended change soon after the last unattended point: that point's number.
    Failure recentUnattended(int root, BuiltinStore& store, std::int64_t now,
                             unsigned long long& number, bool& recent) const;
    Failure commit(BuiltinStore& store, const Request& request,
                   std::vector<RestorePointRecord>& records, unsigned long long& number) const;
    // An unattended change that got the last unattended point: the change's actions and what
    // it kept are added to the point; what can't be is a warning.
    void addToRecent(int root, BuiltinStore& store, const Request& request,
                     unsigned long long number) const;
    // points.list with `actions` for point `number`, after those it has when `append`.
    Failure writeList(int root, const std::vector<RestorePointRecord>& records,
                      const std::vector<PackageAction>& actions, unsigned long long number,
                      bool append = false) const;
    void retain(PackagePool& pool) const;

    Options m_options;
    std::vector<KeepNote> m_kept;
    // Each point's actions from its own change.txt, for a list that must be rebuilt.
    std::map<unsigned long long, std::vector<PackageAction>> m_changes;
    bool m_viewed = false;
    std::set<unsigned long long> m_drop;
};

} // namespace vigilorn::sys

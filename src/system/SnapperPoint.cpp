#include "SnapperPoint.h"

#include "platform/posix/Text.h"

#include "RootFiles.h"
#include "Run.h"
#include "platform/RestoreEngine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <ctime>

namespace vigilorn::sys {

namespace {

// A list of thousands of snapshots stays far below this.
constexpr std::size_t kMaxListOutput = 4u << 20;
constexpr std::size_t kMaxErrorOutput = 2048;
constexpr std::size_t kMaxDefaults = 64 * 1024;
constexpr std::size_t kMaxRows = 100'000;
// 80snapper's own description of its snapshots.
constexpr const char* kAptDescription = "apt";
constexpr const char* kReasonKey = "vigilorn-reason";

PlatformError snapperError(const std::string& text) {
    return {EIO, text};
}

bool isRootFile(const std::string& path, struct stat& st) {
    return ::fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(st.st_mode) && st.st_uid == 0;
}

// A small root-owned file, not through a link; nullopt when it is not that.
std::optional<std::string> readRootFile(const std::string& path, std::size_t limit) {
    return readSmall(AT_FDCWD, path.c_str(), static_cast<std::int64_t>(limit), true);
}

template <class T> bool parseNumber(std::string_view text, T& out) {
    return posix::parseDecimal(text, out);
}

// "YYYY-MM-DD HH:MM:SS" in UTC.
bool parseDate(std::string_view text, std::int64_t& out) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (text.size() != 19 || text[4] != '-' || text[7] != '-' || text[10] != ' ' ||
        text[13] != ':' || text[16] != ':' || !parseNumber(text.substr(0, 4), y) ||
        !parseNumber(text.substr(5, 2), mo) || !parseNumber(text.substr(8, 2), d) ||
        !parseNumber(text.substr(11, 2), h) || !parseNumber(text.substr(14, 2), mi) ||
        !parseNumber(text.substr(17, 2), s))
        return false;
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    out = static_cast<std::int64_t>(::timegm(&tm));
    return out != -1;
}

// RFC 4180 records: quoted fields may hold commas, doubled quotes and line breaks.
std::optional<std::vector<std::vector<std::string>>> parseCsv(std::string_view text) {
    std::vector<std::vector<std::string>> records;
    std::vector<std::string> record;
    std::string field;
    bool quoted = false, wasQuoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c != '"')
                field += c;
            else if (i + 1 < text.size() && text[i + 1] == '"')
                field += text[++i];
            else
                quoted = false;
        } else if (c == '"') {
            if (!field.empty() || wasQuoted)
                return std::nullopt;
            quoted = wasQuoted = true;
        } else if (c == ',') {
            record.push_back(std::move(field));
            field.clear();
            wasQuoted = false;
        } else if (c == '\n') {
            record.push_back(std::move(field));
            records.push_back(std::move(record));
            field.clear();
            record.clear();
            wasQuoted = false;
            if (records.size() > kMaxRows)
                return std::nullopt;
        } else if (wasQuoted) {
            return std::nullopt;
        } else {
            field += c;
        }
    }
    if (quoted || !field.empty() || !record.empty())
        return std::nullopt;
    return records;
}

std::string trimmed(std::string_view s) {
    while (!s.empty() && s.front() == ' ')
        s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ')
        s.remove_suffix(1);
    return std::string(s);
}

// A userdata value snapper takes: no ',' or '=' (its separators).
std::string userdataValue(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c == ',' || c == '=')
            c = ' ';
    return trimmed(out);
}

// The program at its fixed path with an argument list and snapper's fixed environment; its
// output bounded, and killed past `cap`.
RunResult runBounded(const std::vector<std::string>& args, std::chrono::milliseconds cap,
                     std::size_t maxOut) {
    RunOptions o;
    o.cap = cap;
    o.keep = maxOut;
    o.keepStart = true;
    o.errorsTo = RunOptions::Errors::Apart;
    o.keepErrors = kMaxErrorOutput;
    o.environment = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL=C"};
    return run(args, o);
}

std::string problem(const RunResult& ran, const std::string& what, std::chrono::milliseconds cap) {
    if (!ran.started)
        return what + ": snapper cannot be run (" + ran.problem + ")";
    if (ran.timedOut)
        return what + ": snapper did not finish within " + std::to_string(cap.count() / 1000) +
               " s and was stopped";
    if (ran.status < 0)
        return what + ": snapper was " + ran.problem;
    const std::string line = ran.errors.substr(0, ran.errors.find('\n'));
    return what + ": snapper failed" + (line.empty() ? std::string() : " (" + line + ")");
}

bool succeeded(const RunResult& ran) {
    return ran.started && !ran.timedOut && ran.status == 0;
}

bool busThere(const SnapperSetup& setup) {
    struct stat st {};
    return ::lstat(setup.systemBus.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

Failure listSnapshots(const SnapperSetup& setup, std::vector<SnapperRow>& rows) {
    // Read from the disk itself: right whether or not snapperd holds the config.
    const RunResult ran = runBounded({setup.snapper, "--no-dbus", "--utc", "--machine-readable",
                                      "csv", "-c", "root", "list", "--columns", kSnapperColumns},
                                     setup.listCap, kMaxListOutput);
    if (!succeeded(ran))
        return snapperError(problem(ran, "Could not list the snapshots", setup.listCap));
    auto parsed = ran.cut ? std::nullopt : parseSnapperList(ran.output);
    if (!parsed)
        return snapperError("Could not list the snapshots: snapper's list is not in its form");
    rows = std::move(*parsed);
    return std::nullopt;
}

} // namespace

bool snapperKeepsRoot(const SnapperSetup& setup) {
    struct stat st {};
    if (!isRootFile(setup.snapper, st) || (st.st_mode & (S_IWGRP | S_IWOTH)) ||
        !(st.st_mode & S_IXUSR))
        return false;
    return isRootFile(setup.rootConfig, st);
}

bool aptSnapshotsDisabled(std::string_view text) {
    bool disabled = false;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
            line.remove_prefix(1);
        if (line.substr(0, 7) == "export ")
            line.remove_prefix(7);
        constexpr std::string_view key = "DISABLE_APT_SNAPSHOT=";
        if (line.substr(0, key.size()) != key)
            continue;
        line.remove_prefix(key.size());
        // A comment or the end of the word ends the value; quotes only group.
        std::string value;
        char quote = 0;
        for (const char c : line) {
            if (quote) {
                if (c == quote)
                    quote = 0;
                else
                    value += c;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == ' ' || c == '\t' || c == '#' || c == ';' || c == '\r') {
                break;
            } else {
                value += c;
            }
        }
        // The last assignment is the one the shell keeps.
        disabled = value == "yes";
    }
    return disabled;
}

bool snapperAptHookActive(const SnapperSetup& setup) {
    struct stat st {};
    if (!isRootFile(setup.aptHook, st))
        return false;
    const auto defaults = readRootFile(setup.defaults, kMaxDefaults);
    return !(defaults && aptSnapshotsDisabled(*defaults));
}

std::optional<std::vector<SnapperRow>> parseSnapperList(std::string_view csv) {
    const auto records = parseCsv(csv);
    if (!records || records->empty())
        return std::nullopt;
    std::string header;
    for (const auto& f : records->front())
        header += (header.empty() ? "" : ",") + f;
    if (header != kSnapperColumns)
        return std::nullopt;
    std::vector<SnapperRow> rows;
    for (std::size_t i = 1; i < records->size(); ++i) {
        const auto& f = (*records)[i];
        SnapperRow r;
        if (f.size() != 7 || !parseNumber(std::string_view(f[0]), r.number) ||
            (!f[2].empty() && !parseNumber(std::string_view(f[2]), r.preNumber)) ||
            (!f[3].empty() && !parseDate(f[3], r.date)))
            return std::nullopt;
        if (r.number == 0) // "current", the live file system
            continue;
        r.type = f[1];
        r.user = f[4];
        std::string_view data = f[5];
        while (!data.empty()) {
            const auto comma = data.find(',');
            const std::string_view item = data.substr(0, comma);
            data.remove_prefix(comma == std::string_view::npos ? data.size() : comma + 1);
            const auto eq = item.find('=');
            if (eq != std::string_view::npos)
                r.userdata[trimmed(item.substr(0, eq))] = trimmed(item.substr(eq + 1));
        }
        r.description = f[6];
        rows.push_back(std::move(r));
    }
    return rows;
}

std::optional<std::uint32_t> aptPreSnapshot(const std::vector<SnapperRow>& rows, std::int64_t now) {
    std::optional<std::uint32_t> found;
    for (const auto& r : rows) {
        if (r.type != "pre" || r.description != kAptDescription || r.user != "root" ||
            r.date < now - kAptPreSnapshotSeconds || r.date > now + 60)
            continue;
        const bool closed = std::any_of(rows.begin(), rows.end(), [&](const SnapperRow& post) {
            return post.type == "post" && post.preNumber == r.number;
        });
        if (!closed && (!found || r.number > *found))
            found = r.number;
    }
    return found;
}

std::optional<std::uint32_t> recentUnattended(const std::vector<SnapperRow>& rows,
                                              std::int64_t now) {
    std::optional<std::uint32_t> found;
    for (const auto& r : rows) {
        const auto reason = r.userdata.find(kReasonKey);
        if (r.user != "root" || reason == r.userdata.end() ||
            reason->second != reasonName(Reason::Unattended) || r.date > now ||
            r.date <= now - kUnattendedSeconds)
            continue;
        if (!found || r.number > *found)
            found = r.number;
    }
    return found;
}

std::vector<std::string> snapperCreateArguments(const Request& request) {
    // The same marks the program's own snapper points carry, and why and for what it was made.
    std::string userdata = "vigilorn-type=" + std::to_string(kRestorePointType) +
                           ",vigilorn-event=" + std::to_string(kRestorePointEventType) + "," +
                           kReasonKey + "=" + std::string(reasonName(request.reason));
    if (const auto frontend = userdataValue(request.frontend); !frontend.empty())
        userdata += ",vigilorn-frontend=" + frontend;
    if (const auto change = userdataValue(request.change); !change.empty())
        userdata += ",vigilorn-change=" + change;
    // "--name=value": a value that starts with "-" stays a value.
    return {"-c",
            "root",
            "create",
            "--type=single",
            "--cleanup-algorithm=number",
            "--print-number",
            "--description=" + pointDescription(request),
            "--userdata=" + userdata};
}

Failure createSnapperPoint(const SnapperSetup& setup, const Request& request,
                           unsigned long long& number) {
    const std::int64_t now = setup.now ? setup.now() : std::time(nullptr);
    if (request.reason != Reason::Window) {
        std::vector<SnapperRow> rows;
        if (auto f = listSnapshots(setup, rows))
            return f;
        // 80snapper snapshotted this run just before the hook: that is its point.
        if (snapperAptHookActive(setup))
            if (const auto pre = aptPreSnapshot(rows, now)) {
                number = *pre;
                return std::nullopt;
            }
        if (request.reason == Reason::Unattended)
            if (const auto last = recentUnattended(rows, now)) {
                number = *last;
                return std::nullopt;
            }
    }

    const auto args = snapperCreateArguments(request);
    auto create = [&](bool bus) {
        std::vector<std::string> argv{setup.snapper};
        if (!bus)
            argv.emplace_back("--no-dbus");
        argv.insert(argv.end(), args.begin(), args.end());
        return runBounded(argv, setup.createCap, 64);
    };
    const bool bus = busThere(setup);
    RunResult ran = create(bus);
    // A bus that is there but does not answer: root works on the config itself.
    if (bus && ran.started && !ran.timedOut && !succeeded(ran) &&
        ran.errors.find("dbus") != std::string::npos)
        ran = create(false);
    if (!succeeded(ran))
        return snapperError(problem(ran, "Could not make the snapshot", setup.createCap));
    std::string_view out = ran.output;
    if (!out.empty() && out.back() == '\n')
        out.remove_suffix(1);
    std::uint32_t made = 0;
    if (!parseNumber(out, made) || made == 0)
        return snapperError("Could not make the snapshot: snapper gave no number");
    number = made;
    return std::nullopt;
}

} // namespace vigilorn::sys

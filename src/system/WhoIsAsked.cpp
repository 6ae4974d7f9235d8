#include "WhoIsAsked.h"

#include "platform/posix/Files.h"
#include "platform/posix/Text.h"

#include "platform/posix/Fd.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string>

namespace vigilorn::sys {

namespace {

constexpr std::size_t kMaxDepth = 32;
constexpr std::size_t kMaxSmallFile = 4096;
constexpr std::size_t kMaxSessionFile = 16384;
constexpr std::size_t kMaxSessions = 256;

// A regular file of at most maxBytes, whole; FIFOs and links are refused.
bool readSmallFile(int dirFd, const std::string& name, std::string& out, std::size_t maxBytes) {
    auto read = posix::readFile(dirFd, name, maxBytes, posix::kNoFollow);
    out = read.ok() ? std::move(read.text) : std::string();
    return read.ok();
}

bool parsePid(std::string_view text, pid_t& pid) {
    return posix::parseDecimal(text, pid, 999'999'999);
}

constexpr std::array<std::string_view, 7> kFrontends = {
    "apt-get", "apt", "aptitude", "synaptic", "packagekitd", "unattended-upgr", "dpkg"};

} // namespace

ProcReader::ProcReader(std::string procRoot) : m_root(std::move(procRoot)) {}

std::vector<Ancestor> ProcReader::ancestors(pid_t from) const {
    std::vector<Ancestor> chain;
    std::string stat;
    pid_t pid = from;
    while (pid > 1 && chain.size() < kMaxDepth) {
        if (!readSmallFile(AT_FDCWD, m_root + '/' + std::to_string(pid) + "/stat", stat,
                           kMaxSmallFile))
            break;
        // "pid (comm) state ppid ...": comm may hold spaces and parentheses itself.
        const std::size_t open = stat.find('(');
        const std::size_t close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close < open ||
            close + 4 >= stat.size())
            break;
        chain.push_back({pid, stat.substr(open + 1, close - open - 1)});
        const std::string_view rest = std::string_view(stat).substr(close + 4);
        pid_t parent = 0;
        if (!parsePid(rest.substr(0, rest.find(' ')), parent))
            break;
        pid = parent;
    }
    return chain;
}

std::optional<uid_t> ProcReader::loginUid(pid_t pid) const {
    std::string text;
    if (!readSmallFile(AT_FDCWD, m_root + '/' + std::to_string(pid) + "/loginuid", text,
                       kMaxSmallFile))
        return std::nullopt;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return parseUid(text);
}

bool ProcReader::arguments(pid_t pid, std::vector<std::string>& args, std::size_t maxBytes) const {
    args.clear();
    std::string text;
    if (!readSmallFile(AT_FDCWD, m_root + '/' + std::to_string(pid) + "/cmdline", text, maxBytes))
        return false;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\0', start);
        if (end == std::string::npos)
            end = text.size();
        args.emplace_back(text, start, end - start);
        start = end + 1;
    }
    return !args.empty();
}

const Ancestor* nearestFrontend(const std::vector<Ancestor>& chain) {
    for (const auto& a : chain)
        if (std::find(kFrontends.begin(), kFrontends.end(), a.comm) != kFrontends.end())
            return &a;
    return nullptr;
}

std::string frontendName(const std::vector<Ancestor>& chain) {
    if (const Ancestor* f = nearestFrontend(chain))
        return f->comm;
    return chain.empty() ? std::string() : chain.front().comm;
}

std::optional<uid_t> parseUid(std::string_view text) {
    // (uid_t)-1 is "no uid" everywhere.
    uid_t uid = 0;
    if (!posix::parseDecimal(text, uid, static_cast<uid_t>(4294967294u)))
        return std::nullopt;
    return uid;
}

bool administers(uid_t uid) {
    passwd pw{};
    passwd* user = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &user) != 0 || !user)
        return false;
    for (const char* name : {"sudo", "adm"}) {
        group gr{};
        group* found = nullptr;
        std::vector<char> groupBuffer(65536);
        if (::getgrnam_r(name, &gr, groupBuffer.data(), groupBuffer.size(), &found) != 0 || !found)
            continue;
        if (found->gr_gid == user->pw_gid)
            return true;
        for (char** m = found->gr_mem; m && *m; ++m)
            if (std::strcmp(*m, user->pw_name) == 0)
                return true;
    }
    return false;
}

AskedUsers whoIsAsked(const CallerIds& ids, const ProcReader& proc,
                      const std::vector<Ancestor>& chain, const std::string& sessionsDir,
                      const std::function<bool(uid_t)>& admin) {
    const std::pair<const std::optional<std::string>*, const char*> fromEnv[] = {
        {&ids.pkexecUid, "PKEXEC_UID"},
        {&ids.sudoUid, "SUDO_UID"},
        {&ids.packagekitUid, "PACKAGEKIT_CALLER_UID"}};
    for (const auto& [value, name] : fromEnv)
        if (*value)
            if (const auto uid = parseUid(**value))
                return {{*uid}, name};
    const Ancestor* frontend = nearestFrontend(chain);
    if (frontend)
        if (const auto uid = proc.loginUid(frontend->pid))
            return {{*uid}, "loginuid"};
    const bool packageKit = frontend && frontend->comm == "packagekitd";
    return {graphicalSessionUsers(sessionsDir, admin), "sessions",
            packageKit ? Standing::AtTheMachine : Standing::Bystanders};
}

std::vector<uid_t> graphicalSessionUsers(const std::string& sessionsDir,
                                         const std::function<bool(uid_t)>& admin) {
    std::vector<uid_t> uids;
    const posix::Fd dir(::open(sessionsDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid())
        return uids;
    std::vector<std::string> names = posix::namesIn(dir.get(), kMaxSessions);
    names.erase(std::remove_if(names.begin(), names.end(),
                               [](const std::string& n) { return n[0] == '.'; }),
                names.end());
    std::sort(names.begin(), names.end());
    std::string text;
    for (const auto& name : names) {
        if (!readSmallFile(dir.get(), name, text, kMaxSessionFile))
            continue;
        std::optional<uid_t> uid;
        bool active = false;
        bool graphical = false;
        bool seat = false;
        bool remote = false;
        std::string_view rest = text;
        while (!rest.empty()) {
            const std::size_t nl = rest.find('\n');
            const std::string_view line = rest.substr(0, nl);
            rest.remove_prefix(nl == std::string_view::npos ? rest.size() : nl + 1);
            if (line.substr(0, 4) == "UID=")
                uid = parseUid(line.substr(4));
            else if (line == "ACTIVE=1")
                active = true;
            else if (line == "TYPE=x11" || line == "TYPE=wayland")
                graphical = true;
            else if (line.substr(0, 5) == "SEAT=" && line.size() > 5)
                seat = true;
            else if (line == "REMOTE=1")
                remote = true;
        }
        if (uid && active && graphical && seat && !remote &&
            std::find(uids.begin(), uids.end(), *uid) == uids.end() && admin(*uid))
            uids.push_back(*uid);
    }
    return uids;
}

} // namespace vigilorn::sys

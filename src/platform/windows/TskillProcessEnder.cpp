#include "TskillProcessEnder.h"

#include "WinText.h"

#include <algorithm>
#include <vector>

namespace vigilorn {
namespace {

// Not allowed in a file name, or an option to tskill ('/').
bool allowedInName(unsigned char c) {
    if (c < 0x20 || c == 0x7F)
        return false;
    static constexpr char refused[] = "\"|<>/\\:*?";
    return std::find(std::begin(refused), std::end(refused) - 1, static_cast<char>(c)) ==
           std::end(refused) - 1;
}

PlatformError invalidName(const std::string& name) {
    PlatformError e = programError(ErrorNumber::InvalidProcedureCall);
    e.description = "\"" + name + "\" is not a valid process name";
    return e;
}

bool digitsOnly(const std::string& s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool parsePid(const std::string& s, DWORD& pid) {
    if (!digitsOnly(s) || s.size() > 10)
        return false;
    unsigned long long v = std::stoull(s);
    if (v == 0 || v > 0xFFFFFFFFull)
        return false;
    pid = static_cast<DWORD>(v);
    return true;
}

std::uint64_t fileTimeValue(const FILETIME& t) {
    return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

struct Handle {
    HANDLE h = nullptr;
    ~Handle() {
        if (h)
            CloseHandle(h);
    }
};

} // namespace

Failure tskillCommandLine(const std::string& nameOrPid, std::string& commandLine) {
    commandLine.clear();
    std::wstring check;
    if (nameOrPid.empty() ||
        !std::all_of(nameOrPid.begin(), nameOrPid.end(),
                     [](char c) { return allowedInName(static_cast<unsigned char>(c)); }) ||
        !win::widen(nameOrPid, check))
        return invalidName(nameOrPid);
    bool quote = nameOrPid.find(' ') != std::string::npos;
    commandLine = quote ? "tskill \"" + nameOrPid + "\"" : "tskill " + nameOrPid;
    return std::nullopt;
}

std::uint64_t processStartTime(DWORD pid) {
    Handle p{OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid)};
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!p.h || !GetProcessTimes(p.h, &created, &exited, &kernel, &user))
        return 0;
    return fileTimeValue(created);
}

Failure startDetached(const std::wstring& program, const std::wstring& commandLine,
                      WORD showWindow) {
    // CreateProcessW may write into the command line, so it gets a copy of its own.
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = showWindow;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &started))
        return win::systemError(GetLastError());
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    return std::nullopt;
}

Failure TskillProcessEnder::startTskill(const std::string& argument) {
    std::string commandLine;
    if (auto refused = tskillCommandLine(argument, commandLine))
        return refused;
    std::wstring program = m_program;
    if (program.empty()) {
        // The full path, so that no tskill.exe in the current or program folder is picked.
        wchar_t system[MAX_PATH];
        UINT n = GetSystemDirectoryW(system, MAX_PATH);
        if (n == 0 || n >= MAX_PATH)
            return win::systemError(GetLastError());
        program = std::wstring(system, n) + L"\\tskill.exe";
    }
    std::wstring wideLine;
    win::widen(commandLine, wideLine); // checked by tskillCommandLine
    // Minimised and active, as tskill was always started.
    return startDetached(program, wideLine, SW_SHOWMINIMIZED);
}

PidEnd TskillProcessEnder::endByPid(const std::string& pid, std::uint64_t startTime) {
    DWORD id = 0;
    if (!parsePid(pid, id))
        return {PidEnd::NotRunning, {}};
    // While this handle is open, Windows gives the PID to no other process, so the process
    // checked here is the one tskill is started for.
    Handle held{OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, id)};
    if (!held.h)
        return {PidEnd::NotRunning, {}}; // gone, or not ours to query: left alone
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetProcessTimes(held.h, &created, &exited, &kernel, &user))
        return {PidEnd::NotRunning, {}};
    if (fileTimeValue(created) != startTime)
        return {PidEnd::Replaced, {}};
    if (WaitForSingleObject(held.h, 0) == WAIT_OBJECT_0)
        return {PidEnd::NotRunning, {}};
    if (auto failure = startTskill(std::to_string(id)))
        return {PidEnd::Failed, *failure};
    return {PidEnd::Signalled, {}};
}

Failure TskillProcessEnder::endByName(const std::string& name) {
    if (!digitsOnly(name))
        return startTskill(name);
    // tskill reads digits as a PID; a process named with digits is ended by its own PID.
    std::vector<std::pair<std::string, std::uint64_t>> targets;
    auto failure = m_source.EnumerateProcesses([&](const ProcessEntry& e) {
        if (e.Name.substr(0, e.Name.find('.')) == name)
            targets.emplace_back(e.processid, e.startTime);
        return true;
    });
    if (failure && !failure->duringWalk)
        return failure->error;
    for (const auto& [pid, started] : targets) {
        const PidEnd end = endByPid(pid, started);
        if (end.outcome == PidEnd::Failed)
            return end.error;
    }
    return std::nullopt;
}

} // namespace vigilorn

#include "TskillProcessEnder.h"

#include "WinText.h"

#include <algorithm>
#include <vector>

namespace vigilorn {
namespace {

// Not allowed in a file name, or read by a command processor, or an option to tskill ('/').
bool allowedInName(unsigned char c) {
    if (c < 0x20 || c == 0x7F)
        return false;
    static constexpr char refused[] = "\"&|<>^%/\\:*?";
    return std::find(std::begin(refused), std::end(refused) - 1, static_cast<char>(c)) ==
           std::end(refused) - 1;
}

PlatformError invalidName(const std::string& name) {
    PlatformError e = programError(ErrorNumber::InvalidProcedureCall);
    e.description = "\"" + name + "\" is not a valid process name";
    return e;
}

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

Failure TskillProcessEnder::endProcesses(const std::string& nameOrPid) {
    std::string commandLine;
    if (auto refused = tskillCommandLine(nameOrPid, commandLine))
        return refused;
    // The full path, so that no tskill.exe in the current or program folder is picked instead.
    wchar_t system[MAX_PATH];
    UINT n = GetSystemDirectoryW(system, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return win::systemError(GetLastError());
    std::wstring program = std::wstring(system, n) + L"\\tskill.exe";
    std::wstring wideLine;
    win::widen(commandLine, wideLine); // checked by tskillCommandLine
    return startDetached(program, wideLine, SW_SHOWMINNOACTIVE);
}

} // namespace vigilorn

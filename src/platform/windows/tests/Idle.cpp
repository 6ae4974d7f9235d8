// Stands in for a running installer, msinfo32 or tskill in the tests: it does nothing until ended.
// An argument gives the seconds to wait; without one it ends by itself after two minutes,
// should a test die before ending it. With VIGILORN_IDLE_REPORT set it first writes how it was
// started (its window state and its command line) into that file.
#include "../WinHeaders.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>

int main(int argc, char** argv) {
    wchar_t report[MAX_PATH];
    if (GetEnvironmentVariableW(L"VIGILORN_IDLE_REPORT", report, MAX_PATH) > 0) {
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        GetStartupInfoW(&startup);
        if (FILE* f = _wfopen(report, L"w")) {
            std::fwprintf(f, L"show=%u\ncmd=%ls\n", static_cast<unsigned>(startup.wShowWindow),
                          GetCommandLineW());
            std::fclose(f);
        }
    }
    unsigned long seconds = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 120;
    Sleep(static_cast<DWORD>(seconds * 1000));
    return 0;
}

#pragma once
#include "WinHeaders.h"
#include "platform/ProcessSource.h"

#include <string>

namespace vigilorn {

// Ends processes with the system's tskill, started minimised and not waited for.
class TskillProcessEnder final : public ProcessEnder {
public:
    // program: the tskill to start; empty = the one in the system folder.
    explicit TskillProcessEnder(ProcessSource& source, std::wstring program = {})
        : m_source(source), m_program(std::move(program)) {}
    PidEnd endByPid(const std::string& pid, std::uint64_t startTime) override;
    Failure endByName(const std::string& name) override;

private:
    Failure startTskill(const std::string& argument);

    ProcessSource& m_source;
    std::wstring m_program;
};

// The command line for tskill: "tskill " + the name or PID, quoted when it holds a space. A text
// with a character no process name has, or that tskill would read as an option, is refused with
// error 5 and commandLine is left empty. No command processor reads the line, so & ^ % are
// ordinary characters.
Failure tskillCommandLine(const std::string& nameOrPid, std::string& commandLine);

// When the process started (its creation FILETIME), or 0 when it cannot be opened.
std::uint64_t processStartTime(DWORD pid);

// Starts commandLine as a process of its own, minimised, without waiting for it. program is the
// executable; commandLine is what it receives (its own name first).
Failure startDetached(const std::wstring& program, const std::wstring& commandLine,
                      WORD showWindow);

} // namespace vigilorn

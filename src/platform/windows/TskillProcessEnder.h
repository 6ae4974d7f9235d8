#pragma once
#include "WinHeaders.h"
#include "platform/ProcessSource.h"

#include <string>

namespace vigilorn {

// Ends processes with the system's tskill, started minimised and not waited for.
class TskillProcessEnder final : public ProcessEnder {
public:
    Failure endProcesses(const std::string& nameOrPid) override;
};

// The command line for tskill: "tskill " + the name, quoted when it holds a space. A name with a
// character no process name has, or one the command line would read as something else, is refused
// with error 5 and commandLine is left empty.
Failure tskillCommandLine(const std::string& nameOrPid, std::string& commandLine);

// Starts commandLine as a process of its own, minimised, without waiting for it. program is the
// executable; commandLine is what it receives (its own name first).
Failure startDetached(const std::wstring& program, const std::wstring& commandLine,
                      WORD showWindow);

} // namespace vigilorn

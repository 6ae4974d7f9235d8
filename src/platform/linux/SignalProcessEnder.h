#pragma once
#include "platform/ProcessSource.h"

namespace vigilorn {

// Ends processes itself with SIGTERM: no external program, no shell.
class SignalProcessEnder final : public ProcessEnder {
public:
    explicit SignalProcessEnder(ProcessSource& source) : m_source(source) {}
    Failure endProcesses(const std::string& nameOrPid) override;

private:
    ProcessSource& m_source;
};

// The name as the kill command compares it: cut before its first ".".
std::string nameBeforeFirstDot(const std::string& name);

} // namespace vigilorn

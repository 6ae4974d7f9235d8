#pragma once
#include "platform/ProcessSource.h"

#include <string>

namespace vigilorn {

// Ends processes itself with SIGTERM: no external program, no shell. Each process is held by a
// pidfd while it is checked, so that the signal reaches the process that was checked and not one
// that took its PID meanwhile.
class SignalProcessEnder final : public ProcessEnder {
public:
    explicit SignalProcessEnder(ProcessSource& source, std::string procRoot = "/proc")
        : m_source(source), m_root(std::move(procRoot)) {}
    PidEnd endByPid(const std::string& pid, std::uint64_t startTime) override;
    Failure endByName(const std::string& name) override;

private:
    ProcessSource& m_source;
    std::string m_root;
};

// The name as the kill command compares it: cut before its first ".".
std::string nameBeforeFirstDot(const std::string& name);

} // namespace vigilorn

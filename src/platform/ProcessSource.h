#pragma once
#include "PlatformError.h"

#include <functional>
#include <string>

namespace vigilorn {

// One running process whose owner could be read.
struct ProcessEntry {
    std::string Name;
    std::string processid; // decimal, no leading zeros
    std::string User;
};

// Returns true to go on, false to stop the enumeration.
using ProcessVisitor = std::function<bool(const ProcessEntry&)>;

struct EnumerationFailure {
    PlatformError error;
    // false: the query itself failed and nothing was visited;
    // true: the failure came while the processes were being walked.
    bool duringWalk = false;
};

class ProcessSource {
public:
    virtual ~ProcessSource() = default;
    // Visits the processes in the order the system lists them.
    virtual std::optional<EnumerationFailure> EnumerateProcesses(const ProcessVisitor& visitor) = 0;
};

// Ends processes by PID (digits only) or by name cut before its first ".".
class ProcessEnder {
public:
    virtual ~ProcessEnder() = default;
    virtual Failure endProcesses(const std::string& nameOrPid) = 0;
};

} // namespace vigilorn

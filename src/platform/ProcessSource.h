#pragma once
#include "PlatformError.h"

#include <functional>
#include <string>
#include <vector>

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
    // The arguments of one process, argv[0] first. False when they cannot be read, are not
    // UTF-8 or are longer than kMaxArgumentBytes: the caller then knows only the name.
    virtual bool readArguments(const std::string& processid, std::vector<std::string>& args) {
        (void)processid;
        args.clear();
        return false;
    }
    static constexpr std::size_t kMaxArgumentBytes = 4096;
};

// Ends processes by PID (digits only) or by name cut before its first ".".
class ProcessEnder {
public:
    virtual ~ProcessEnder() = default;
    virtual Failure endProcesses(const std::string& nameOrPid) = 0;
};

} // namespace vigilorn

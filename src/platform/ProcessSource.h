#pragma once
#include "PlatformError.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vigilorn {

// One running process whose owner could be read.
struct ProcessEntry {
    std::string Name;
    std::string processid; // decimal, no leading zeros
    std::string User;
    // When the process started, in the system's own unit. With processid it names one process:
    // a PID alone may have been handed to another process since it was listed.
    std::uint64_t startTime = 0;
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
    // A source that keeps what it read between enumerations reads everything afresh on the
    // next one; for lists a user acts on.
    virtual void requireFullPass() {}
    // The arguments of one process, argv[0] first. False when they cannot be read, are not
    // UTF-8 or are longer than kMaxArgumentBytes: the caller then knows only the name.
    virtual bool readArguments(const std::string& processid, std::vector<std::string>& args) {
        (void)processid;
        args.clear();
        return false;
    }
    static constexpr std::size_t kMaxArgumentBytes = 4096;
    // The PID of the process's parent, read afresh; nothing when it cannot be read.
    virtual std::optional<std::string> parentOf(const std::string& processid) {
        (void)processid;
        return std::nullopt;
    }
};

// What ending one process by its PID came to.
struct PidEnd {
    enum Outcome {
        Signalled,  // asked to end
        NotRunning, // nothing runs under that PID, or the user may not end it: left alone
        Replaced,   // another process has the PID now: left alone
        Failed,     // error says why
    };
    Outcome outcome = NotRunning;
    PlatformError error;
};

class ProcessEnder {
public:
    virtual ~ProcessEnder() = default;
    // Ends the process with this PID only if it is still the one that started at startTime.
    virtual PidEnd endByPid(const std::string& pid, std::uint64_t startTime) = 0;
    // Ends every process whose name, cut before its first ".", equals name; digits are a name
    // here too.
    virtual Failure endByName(const std::string& name) = 0;
};

} // namespace vigilorn

#pragma once
#include "platform/ProcessSource.h"

namespace vigilorn {

// Processes from WMI's Win32_Process, each with the user GetOwner names. A process whose owner
// cannot be read (a system process, one that ended meanwhile) is left out.
class WmiProcessSource final : public ProcessSource {
public:
    std::optional<EnumerationFailure> EnumerateProcesses(const ProcessVisitor& visitor) override;
};

} // namespace vigilorn

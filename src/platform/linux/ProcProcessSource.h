#pragma once
#include "platform/ProcessSource.h"

#include <string>
#include <vector>

namespace vigilorn {

// Reads <procRoot>/<pid>/cmdline into its NUL-separated arguments, under the limits of
// ProcessSource::readArguments.
bool readProcArguments(const std::string& procRoot, const std::string& pid,
                       std::vector<std::string>& args);

// Processes from /proc: one entry per numeric directory.
class ProcProcessSource final : public ProcessSource {
public:
    explicit ProcProcessSource(std::string procRoot = "/proc");
    std::optional<EnumerationFailure> EnumerateProcesses(const ProcessVisitor& visitor) override;
    bool readArguments(const std::string& processid, std::vector<std::string>& args) override {
        return readProcArguments(m_root, processid, args);
    }

private:
    std::string m_root;
};

// The name a user would recognise: the kernel's comm, or argv[0]'s base name when comm was cut
// at the kernel's 15-byte limit and argv[0] begins with it.
std::string recogniseProcessName(const std::string& comm, const std::string& argv0);

} // namespace vigilorn

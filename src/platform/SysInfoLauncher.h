#pragma once
#include <string>

namespace vigilorn {

// The two look-ups of the system information tool, in the order they are tried,
// and starting it. Each returns false on failure; the caller shows one message for all.
class SysInfoLauncher {
public:
    virtual ~SysInfoLauncher() = default;
    // First look-up: the full path of the tool.
    virtual bool lookupToolPath(std::string& path) = 0;
    // Second look-up: a folder; toolInFolder() names the file to test inside it.
    virtual bool lookupToolFolder(std::string& folder) = 0;
    virtual std::string toolInFolder(const std::string& folder) const = 0;
    virtual bool isRegularFile(const std::string& path) const = 0;
    // Starts the program without waiting for it.
    virtual bool start(const std::string& path) = 0;
};

} // namespace vigilorn

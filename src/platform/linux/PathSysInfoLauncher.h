#pragma once
#include "platform/SysInfoLauncher.h"

#include <optional>
#include <string>

namespace vigilorn {

// The system information tool: the first of hardinfo, kinfocenter and gnome-system-monitor on
// the PATH; else hardinfo in a fixed folder.
class PathSysInfoLauncher final : public SysInfoLauncher {
public:
    // searchPath: a PATH-style list; unset means $PATH at each look-up.
    explicit PathSysInfoLauncher(std::optional<std::string> searchPath = std::nullopt,
                                 std::string folder = "/usr/bin");

    bool lookupToolPath(std::string& path) override;
    bool lookupToolFolder(std::string& folder) override;
    std::string toolInFolder(const std::string& folder) const override;
    bool isRegularFile(const std::string& path) const override;
    bool start(const std::string& path) override;

private:
    std::optional<std::string> m_searchPath;
    std::string m_folder;
};

} // namespace vigilorn

#pragma once
#include "WinHeaders.h"
#include "platform/SysInfoLauncher.h"

namespace vigilorn {

// Finds msinfo32 where its installer registers it, and starts it.
class WindowsSysInfoLauncher final : public SysInfoLauncher {
public:
    explicit WindowsSysInfoLauncher(
        HKEY root = HKEY_LOCAL_MACHINE,
        std::string pathKey = "SOFTWARE\\Microsoft\\Shared Tools\\MSINFO",
        std::string folderKey = "SOFTWARE\\Microsoft\\Shared Tools Location");
    // A run-time error of the registry read counts as a failed look-up: the caller shows the
    // same message for both.
    bool lookupToolPath(std::string& path) override;
    bool lookupToolFolder(std::string& folder) override;
    std::string toolInFolder(const std::string& folder) const override;
    bool isRegularFile(const std::string& path) const override;
    // The path is the whole command: no arguments are ever added.
    bool start(const std::string& path) override;

private:
    bool lookup(const std::string& key, const std::string& value, std::string& text);

    HKEY m_root;
    std::string m_pathKey;
    std::string m_folderKey;
};

} // namespace vigilorn

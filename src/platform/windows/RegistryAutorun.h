#pragma once
#include "WinHeaders.h"
#include "platform/Autorun.h"

#include <string>

namespace vigilorn {

// The Run entry that starts the program at log-on, for every user by default.
class RegistryAutorun final : public Autorun {
public:
    explicit RegistryAutorun(
        HKEY root = HKEY_LOCAL_MACHINE,
        std::wstring subKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run",
        std::wstring valueName = L"QMVigilorn");
    // REG_SZ, the path in double quotes so that a folder with spaces starts the right program.
    Failure write(const std::string& commandPath) override;
    Failure remove() override;

private:
    HKEY m_root;
    std::wstring m_subKey;
    std::wstring m_valueName;
};

} // namespace vigilorn

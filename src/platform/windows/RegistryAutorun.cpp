#include "RegistryAutorun.h"

#include "WinText.h"

namespace vigilorn {

RegistryAutorun::RegistryAutorun(HKEY root, std::wstring subKey, std::wstring valueName)
    : m_root(root), m_subKey(std::move(subKey)), m_valueName(std::move(valueName)) {}

Failure RegistryAutorun::write(const std::string& commandPath) {
    std::wstring path;
    // A quote inside would end the quoted path early and leave the rest as arguments.
    if (commandPath.empty() || commandPath.find('"') != std::string::npos ||
        !win::widen(commandPath, path))
        return programError(ErrorNumber::InvalidProcedureCall);
    std::wstring data = L"\"" + path + L"\"";

    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(m_root, m_subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS)
        return win::systemError(static_cast<DWORD>(status));
    const DWORD bytes = static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t));
    status = RegSetValueExW(key, m_valueName.c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(data.c_str()), bytes);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS)
        return win::systemError(static_cast<DWORD>(status));
    return std::nullopt;
}

Failure RegistryAutorun::remove() {
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(m_root, m_subKey.c_str(), 0, KEY_SET_VALUE, &key);
    if (status == ERROR_SUCCESS) {
        status = RegDeleteValueW(key, m_valueName.c_str());
        RegCloseKey(key);
    }
    // No key or no value: nothing to remove.
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        return win::systemError(static_cast<DWORD>(status));
    return std::nullopt;
}

} // namespace vigilorn

#include "WinText.h"

#include <cstdio>

namespace vigilorn::win {

bool widen(const std::string& utf8, std::wstring& out) {
    out.clear();
    if (utf8.empty())
        return true;
    const int size = static_cast<int>(utf8.size());
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
    if (n <= 0)
        return false;
    out.resize(static_cast<size_t>(n));
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, out.data(), n);
    return true;
}

std::string narrow(const wchar_t* text, int length) {
    if (!text || length == 0)
        return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return {};
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), n, nullptr, nullptr);
    if (length < 0 && !out.empty() && out.back() == '\0')
        out.pop_back(); // -1 counts the terminator too
    return out;
}

std::string narrow(const std::wstring& text) {
    return narrow(text.data(), static_cast<int>(text.size()));
}

std::string ansiToUtf8(const std::string& ansi) {
    if (ansi.empty())
        return {};
    const int size = static_cast<int>(ansi.size());
    int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), size, nullptr, 0);
    if (n <= 0)
        return {};
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.data(), size, wide.data(), n);
    return narrow(wide);
}

std::string systemMessage(DWORD code) {
    wchar_t* buffer = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text;
    if (n && buffer) {
        text = narrow(buffer, static_cast<int>(n));
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
            text.pop_back();
    }
    LocalFree(buffer);
    return text;
}

PlatformError systemError(DWORD code) {
    std::string text = systemMessage(code);
    if (text.empty())
        text = "System error " + std::to_string(code);
    return {static_cast<int>(code), text};
}

PlatformError comError(HRESULT hr, const std::string& what) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(hr));
    std::string text = systemMessage(static_cast<DWORD>(hr));
    std::string description = what + " (error " + hex + ")";
    if (!text.empty())
        description += ": " + text;
    return {static_cast<int>(hr), description};
}

} // namespace vigilorn::win

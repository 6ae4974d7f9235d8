#include "WindowsSysInfoLauncher.h"

#include "GetKeyValue.h"
#include "TskillProcessEnder.h"
#include "WinText.h"
#include "platform/RuntimeError.h"

namespace vigilorn {

WindowsSysInfoLauncher::WindowsSysInfoLauncher(HKEY root, std::string pathKey,
                                               std::string folderKey)
    : m_root(root), m_pathKey(std::move(pathKey)), m_folderKey(std::move(folderKey)) {}

bool WindowsSysInfoLauncher::lookup(const std::string& key, const std::string& value,
                                    std::string& text) {
    std::string ansi = text;
    try {
        if (!GetKeyValue(m_root, key, value, ansi)) {
            text.clear();
            return false;
        }
    } catch (const RuntimeError&) {
        return false;
    }
    // Left alone for a type it does not read: then it still holds the caller's UTF-8.
    if (ansi != text)
        text = win::ansiToUtf8(ansi);
    return true;
}

bool WindowsSysInfoLauncher::lookupToolPath(std::string& path) {
    return lookup(m_pathKey, "PATH", path);
}

bool WindowsSysInfoLauncher::lookupToolFolder(std::string& folder) {
    return lookup(m_folderKey, "MSINFO", folder);
}

std::string WindowsSysInfoLauncher::toolInFolder(const std::string& folder) const {
    return folder + "\\MSINFO32.EXE";
}

bool WindowsSysInfoLauncher::isRegularFile(const std::string& path) const {
    std::wstring wide;
    if (path.empty() || !win::widen(path, wide))
        return false;
    DWORD attributes = GetFileAttributesW(wide.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool WindowsSysInfoLauncher::start(const std::string& path) {
    std::wstring program;
    // The registry's text becomes a command line: nothing in it may be read as more than a path.
    if (path.empty() || path.find('"') != std::string::npos || !win::widen(path, program))
        return false;
    for (wchar_t c : program)
        if (c < 0x20)
            return false;
    // Named as the program itself, so an unquoted "C:\Program Files\..." can't start
    // C:\Program.exe; quoted on the command line so that the program reads its own name whole.
    return !startDetached(program, L"\"" + program + L"\"", SW_SHOWNORMAL);
}

} // namespace vigilorn

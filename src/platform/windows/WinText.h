#pragma once
// Text at the interfaces is UTF-8; the W functions want UTF-16; registry look-ups give ANSI.
#include "WinHeaders.h"
#include "platform/PlatformError.h"

#include <string>

namespace vigilorn::win {

// False when utf8 is not valid UTF-8; out is then left empty.
bool widen(const std::string& utf8, std::wstring& out);
std::string narrow(const wchar_t* text, int length = -1);
std::string narrow(const std::wstring& text);
// Text in the system's ANSI code page, as the A registry functions return it.
std::string ansiToUtf8(const std::string& ansi);

// The system's message for an error code (Win32 or HRESULT), without the trailing line break;
// empty when the system has none.
std::string systemMessage(DWORD code);
// number = code, description = the system's message or a generic one naming the code.
PlatformError systemError(DWORD code);
// number = the HRESULT, description = what failed and why.
PlatformError comError(HRESULT hr, const std::string& what);

} // namespace vigilorn::win

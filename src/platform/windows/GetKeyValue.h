#pragma once
#include "WinHeaders.h"

#include <string>

namespace vigilorn {

// Reads one registry value as text, with the A functions and a 1024-byte buffer.
// False (KeyVal empty) when the key cannot be opened for read/write access or the value cannot
// be read, a value over 1024 bytes included. REG_SZ gives its text without the trailing NUL;
// REG_DWORD its signed decimal; any other type leaves KeyVal as it was and still gives true.
// A value with no data at all throws RuntimeError 5 (Invalid procedure call or argument), and
// REG_DWORD data wider than 32 bits RuntimeError 6 (Overflow): run-time errors for the caller's
// handler, not a "not found".
bool GetKeyValue(HKEY KeyRoot, const std::string& KeyName, const std::string& SubKeyRef,
                 std::string& KeyVal);

} // namespace vigilorn

#include "GetKeyValue.h"

#include "platform/RuntimeError.h"

#include <cstdint>

namespace vigilorn {
namespace {

constexpr REGSAM openAccess = 0x2003F; // READ_CONTROL | all six key rights but delete
constexpr DWORD bufferSize = 1024;

// The data's bytes taken last to first as hex digits: the little-endian number they hold.
std::string dwordText(const std::string& bytes) {
    std::uint64_t value = 0;
    for (auto it = bytes.rbegin(); it != bytes.rend(); ++it) {
        value = value * 256 + static_cast<unsigned char>(*it);
        if (value > 0xFFFFFFFFull)
            throw RuntimeError(ErrorNumber::Overflow);
    }
    return std::to_string(static_cast<std::int32_t>(static_cast<std::uint32_t>(value)));
}

} // namespace

bool GetKeyValue(HKEY KeyRoot, const std::string& KeyName, const std::string& SubKeyRef,
                 std::string& KeyVal) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(KeyRoot, KeyName.c_str(), 0, openAccess, &key) != ERROR_SUCCESS) {
        KeyVal.clear();
        return false;
    }
    // Closed on every way out, the thrown errors included.
    struct Closer {
        HKEY key;
        ~Closer() { RegCloseKey(key); }
    } closer{key};

    BYTE buffer[bufferSize] = {};
    DWORD size = bufferSize;
    DWORD type = 0;
    if (RegQueryValueExA(key, SubKeyRef.c_str(), nullptr, &type, buffer, &size) != ERROR_SUCCESS) {
        KeyVal.clear();
        return false;
    }
    if (size == 0)
        throw RuntimeError(ErrorNumber::InvalidProcedureCall);

    std::string text(reinterpret_cast<const char*>(buffer), size);
    if (text.back() == '\0')
        text.pop_back();
    switch (type) {
    case REG_SZ:
        KeyVal = text;
        break;
    case REG_DWORD:
        KeyVal = dwordText(text);
        break;
    default:
        break;
    }
    return true;
}

} // namespace vigilorn

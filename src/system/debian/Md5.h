#pragma once
// MD5, for checking files against dpkg's md5sums only; nothing here relies on it for secrecy.
#include <cstdint>
#include <string>
#include <string_view>

namespace vigilorn::sys {

class Md5 {
public:
    Md5();
    void add(const void* data, std::size_t size);
    // Lower-case hex, as md5sums writes it; the object is spent afterwards.
    std::string hex();

private:
    void block(const unsigned char* p);

    std::uint32_t m_state[4];
    std::uint64_t m_length = 0;
    unsigned char m_buffer[64];
    std::size_t m_used = 0;
};

// The MD5 of an open file read from its start, or empty when it can't be read whole.
std::string md5OfFile(int fd);

} // namespace vigilorn::sys

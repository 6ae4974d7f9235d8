// A process's arguments from /proc/PID/cmdline, read only for the few processes whose name
// alone does not say whether they install software.
#include "ProcProcessSource.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include <array>

namespace vigilorn {
namespace {

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0)
            close(fd);
    }
};

bool isValidUtf8(const unsigned char* p, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        std::size_t len = 0;
        unsigned min = 0;
        unsigned cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2, min = 0x80, cp = c & 0x1Fu;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3, min = 0x800, cp = c & 0x0Fu;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4, min = 0x10000, cp = c & 0x07u;
        } else {
            return false;
        }
        if (n - i < len)
            return false;
        for (std::size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (p[i + k] & 0x3Fu);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

} // namespace

bool readProcArguments(const std::string& procRoot, const std::string& pid,
                       std::vector<std::string>& args) {
    args.clear();
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const std::string path = procRoot + "/" + pid + "/cmdline";
    Fd f{open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY)};
    if (f.fd < 0)
        return false;
    // One byte more than the limit tells a cmdline of exactly the limit from a longer one; a
    // longer one is not read any further.
    std::array<char, ProcessSource::kMaxArgumentBytes + 1> buf;
    std::size_t len = 0;
    while (len < buf.size()) {
        const ssize_t n = read(f.fd, buf.data() + len, buf.size() - len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        len += static_cast<std::size_t>(n);
    }
    if (len == 0 || len > ProcessSource::kMaxArgumentBytes)
        return false;
    if (!isValidUtf8(reinterpret_cast<const unsigned char*>(buf.data()), len))
        return false;
    std::size_t start = 0;
    for (std::size_t i = 0; i < len; ++i) {
        if (buf[i] == '\0') {
            args.emplace_back(buf.data() + start, i - start);
            start = i + 1;
        }
    }
    // A process that rewrote its title may leave the last argument without its NUL.
    if (start < len)
        args.emplace_back(buf.data() + start, len - start);
    return true;
}

} // namespace vigilorn

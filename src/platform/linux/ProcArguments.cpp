// A process's arguments from /proc/PID/cmdline, read only for the few processes whose name
// alone does not say whether they install software.
#include "ProcProcessSource.h"

#include "platform/posix/Files.h"

#include <fcntl.h>

namespace vigilorn {
namespace {

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
    // One past the limit is refused, without reading further.
    const auto file = posix::readFile(AT_FDCWD, procRoot + "/" + pid + "/cmdline",
                                      ProcessSource::kMaxArgumentBytes, posix::kFollowLinks);
    const std::string& buf = file.text;
    const std::size_t len = buf.size();
    if (!file.ok() || len == 0)
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

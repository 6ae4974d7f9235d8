#include "Stream.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace vigilorn::posix {

StreamRead readStream(int fd, std::size_t limit, std::chrono::steady_clock::time_point deadline,
                      Until until) {
    using Clock = std::chrono::steady_clock;
    StreamRead out;
    if (fd < 0)
        return out; // poll() would pass over it and wait the whole time
    std::array<char, 16384> buf;
    const std::size_t chunk = until == Until::Line ? 1 : buf.size();
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        // A last look without waiting: what is there already counts even at the deadline.
        const int ready = ::poll(&p, 1, static_cast<int>(std::clamp<long long>(left, 0, 1 << 30)));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || (p.revents & POLLNVAL)) {
            out.end = StreamEnd::Failed;
            return out;
        }
        if (ready == 0) {
            out.end = StreamEnd::TimedOut;
            return out;
        }
        const ssize_t n = ::read(fd, buf.data(), chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0) {
            out.end = StreamEnd::Failed;
            return out;
        }
        if (n == 0) {
            out.end = until == Until::Line ? StreamEnd::Closed : StreamEnd::Complete;
            return out;
        }
        if (until == Until::Line && buf[0] == '\n') {
            out.end = StreamEnd::Complete;
            return out;
        }
        const auto got = static_cast<std::size_t>(n);
        if (out.text.size() + got > limit) {
            out.text.append(buf.data(), limit - out.text.size());
            out.end = StreamEnd::TooLarge;
            return out;
        }
        out.text.append(buf.data(), got);
    }
}

} // namespace vigilorn::posix

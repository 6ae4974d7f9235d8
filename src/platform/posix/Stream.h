#pragma once
// What a pipe or a socket says, read with a bound on its size and on the time it may take.
#include <chrono>
#include <cstddef>
#include <string>

namespace vigilorn::posix {

enum class StreamEnd {
    Complete, // the end of the stream, or with Until::Line the end of the line
    Closed,   // with Until::Line: the stream ended before the line did; text holds the start
    TooLarge, // more than the limit came; text holds the first `limit` bytes, and the byte
              // that told is gone from the stream
    TimedOut, // the deadline passed first; text holds what came until then
    Failed,   // the descriptor could not be read
};

enum class Until { End, Line };

struct StreamRead {
    std::string text; // with Until::Line, the line without its '\n'
    StreamEnd end = StreamEnd::Failed;
    bool complete() const { return end == StreamEnd::Complete; }
};

// Reads `fd` to its end (or to the first '\n') by the deadline, at most `limit` bytes. A line
// is read a byte at a time, so that nothing after it is taken from the stream.
StreamRead readStream(int fd, std::size_t limit, std::chrono::steady_clock::time_point deadline,
                      Until until = Until::End);

// The same with the time given from now.
inline StreamRead readStream(int fd, std::size_t limit, std::chrono::milliseconds within,
                             Until until = Until::End) {
    return readStream(fd, limit, std::chrono::steady_clock::now() + within, until);
}

} // namespace vigilorn::posix

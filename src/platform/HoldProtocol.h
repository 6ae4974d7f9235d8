#pragma once
// The one-line conversation between the package hook (root) and the user's program, on the
// program's local socket. Shared by both sides, so plain C++ and header-only.
#include "platform/PointRequest.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vigilorn::hold {

// The program's socket in /run/user/<uid>: QMVigilornApp-<platform>-<display>.socket.
inline constexpr std::string_view kSocketPrefix = "QMVigilornApp-";
inline constexpr std::string_view kSocketSuffix = ".socket";

// The user's whole answer time: the installation waits no longer, so the program's own
// countdown must end before it.
inline constexpr int kHoldCapSeconds = 120;
// Every line either side sends, its newline included.
inline constexpr std::size_t kMaxLine = 64;
using pointreq::frontendChar;
using pointreq::kMaxFrontend;

inline constexpr std::string_view kHoldVerb = "hold ";
inline constexpr std::string_view kMadeVerb = "made ";
inline constexpr std::string_view kFailedLine = "failed\n";

enum class Answer {
    Go,    // the installation goes on without a point
    Point, // the user asked for a point: the hook reports back with made/failed
    Auto,  // the program's own wait ran out: the hook makes a point by itself
    Off,   // the user turned the hooks off: as if no program were there
    None,  // anything else, nothing, too late: the hook makes a point by itself
};

// The name travels in a line and ends up in a window: only plain characters, bounded.
inline std::string sanitiseFrontend(std::string_view name) {
    std::string out;
    for (const char c : name) {
        if (out.size() == kMaxFrontend)
            break;
        if (frontendChar(c))
            out += c;
    }
    return out.empty() ? std::string("unknown") : out;
}

inline std::string holdLine(std::string_view frontend) {
    return std::string(kHoldVerb) + sanitiseFrontend(frontend) + '\n';
}

// Program side: the front end a hold line names; nothing for any other line.
inline std::optional<std::string> parseHoldLine(std::string_view line) {
    if (line.size() > kMaxLine || line.substr(0, kHoldVerb.size()) != kHoldVerb || line.empty() ||
        line.back() != '\n')
        return std::nullopt;
    const std::string_view name = line.substr(kHoldVerb.size(), line.size() - kHoldVerb.size() - 1);
    if (name.empty() || name.size() > kMaxFrontend)
        return std::nullopt;
    for (const char c : name)
        if (!frontendChar(c))
            return std::nullopt;
    return std::string(name);
}

inline std::string_view answerLine(Answer answer) {
    switch (answer) {
    case Answer::Go:
        return "go\n";
    case Answer::Point:
        return "point\n";
    case Answer::Auto:
        return "auto\n";
    case Answer::Off:
        return "off\n";
    case Answer::None:
        break;
    }
    return {};
}

// Exactly one of the four lines; nothing is ever taken from an answer but its choice.
inline Answer parseAnswer(std::string_view line) {
    for (const Answer a : {Answer::Go, Answer::Point, Answer::Auto, Answer::Off})
        if (line == answerLine(a))
            return a;
    return Answer::None;
}

inline std::string madeLine(std::uint64_t number) {
    return std::string(kMadeVerb) + std::to_string(number) + '\n';
}

// Program side: the number a made line reports; nothing for failed or any other line.
inline std::optional<std::uint64_t> parseMadeLine(std::string_view line) {
    if (line.size() > kMaxLine || line.substr(0, kMadeVerb.size()) != kMadeVerb ||
        line.back() != '\n')
        return std::nullopt;
    const std::string_view digits =
        line.substr(kMadeVerb.size(), line.size() - kMadeVerb.size() - 1);
    if (digits.empty() || digits.size() > 19)
        return std::nullopt;
    std::uint64_t n = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return std::nullopt;
        n = n * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return n;
}

} // namespace vigilorn::hold

#pragma once
// The one-line conversation between the package hook (root) and the user's program, on the
// program's local socket. Shared by both sides, so plain C++ and header-only.
#include "platform/PointRequest.h"
#include "platform/posix/Text.h"

#include <algorithm>
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
inline constexpr std::size_t kMaxLine = 96;
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
    std::uint64_t n = 0;
    if (digits.size() > 19 || !posix::parseDecimal(digits, n))
        return std::nullopt;
    return n;
}

// After the point maker ended, the hook tells the program what the user was not asked about,
// on a connection of its own; the program answers nothing. One line:
//   "auto N K FRONTEND\n"   point N was made without asking; K replaced packages not kept
//   "unkept N K FRONTEND\n" the point N the user asked for lacks K replaced packages (K > 0)
//   "nopoint FRONTEND\n"    no point could be made before the change
// N has 1 to 19 digits and is not 0, K 1 to 6 (more are sent as 999999), FRONTEND is a
// sanitised front end name.
struct Note {
    enum class Kind { Auto, Unkept, NoPoint };
    Kind kind = Kind::NoPoint;
    std::uint64_t number = 0;
    std::uint64_t notKept = 0;
    std::string frontend;
    bool operator==(const Note&) const = default;
};

inline constexpr std::uint64_t kMaxNotKept = 999999;

inline std::string noteLine(const Note& note) {
    const std::string frontend = sanitiseFrontend(note.frontend);
    const std::string kept = std::to_string(std::min(note.notKept, kMaxNotKept));
    switch (note.kind) {
    case Note::Kind::Auto:
        return "auto " + std::to_string(note.number) + ' ' + kept + ' ' + frontend + '\n';
    case Note::Kind::Unkept:
        return "unkept " + std::to_string(note.number) + ' ' + kept + ' ' + frontend + '\n';
    case Note::Kind::NoPoint:
        break;
    }
    return "nopoint " + frontend + '\n';
}

namespace detail {

// Digits only, at most maxDigits of them.
inline std::optional<std::uint64_t> parseCount(std::string_view digits, std::size_t maxDigits) {
    std::uint64_t n = 0;
    if (digits.size() > maxDigits || !posix::parseDecimal(digits, n))
        return std::nullopt;
    return n;
}

inline std::string_view nextWord(std::string_view& rest) {
    const std::size_t space = rest.find(' ');
    const std::string_view word = rest.substr(0, space);
    rest = space == std::string_view::npos ? std::string_view{} : rest.substr(space + 1);
    return word;
}

} // namespace detail

// Program side: the note a line carries; nothing for any other line.
inline std::optional<Note> parseNoteLine(std::string_view line) {
    if (line.size() > kMaxLine || line.empty() || line.back() != '\n')
        return std::nullopt;
    std::string_view rest = line.substr(0, line.size() - 1);
    Note note;
    const std::string_view verb = detail::nextWord(rest);
    if (verb == "auto" || verb == "unkept") {
        note.kind = verb == "auto" ? Note::Kind::Auto : Note::Kind::Unkept;
        const auto number = detail::parseCount(detail::nextWord(rest), 19);
        const auto kept = detail::parseCount(detail::nextWord(rest), 6);
        if (!number || *number == 0 || !kept || (note.kind == Note::Kind::Unkept && *kept == 0))
            return std::nullopt;
        note.number = *number;
        note.notKept = *kept;
    } else if (verb != "nopoint") {
        return std::nullopt;
    }
    if (rest.empty() || rest.size() > kMaxFrontend)
        return std::nullopt;
    for (const char c : rest)
        if (!frontendChar(c))
            return std::nullopt;
    note.frontend = rest;
    return note;
}

} // namespace vigilorn::hold

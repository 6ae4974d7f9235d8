#pragma once
// The conversation of one system restore: the program starts the root side once
// (`qmvigilorn-system restore --point N`, through pkexec) and reads its progress, line by line,
// from its standard output; the only thing it ever sends back is go or stop. Shared by both
// sides, so plain C++ and header-only.
#include "platform/posix/Text.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vigilorn::restoreproto {

// Every line either side sends, its newline included; longer text is cut.
inline constexpr std::size_t kMaxLine = 1024;
// How long the root side waits for go or stop before it stops by itself.
inline constexpr int kAskSeconds = 600;

// Root to program:
//   missing NAME VERSION ARCH     a version in neither the kept packages nor the archive
//   ask                           then waits for "go" or "stop"
//   step DONE TOTAL TEXT          progress, DONE of TOTAL steps
//   warn TEXT                     a part that failed; the restore goes on
//   before N                      the point made before restoring, so it can be undone
//   end ok|failed|stopped TEXT    the last line
// Program to root: "go" or "stop".
enum class Kind { Missing, Ask, Step, Warn, Before, End };
enum class Outcome { Ok, Failed, Stopped };

struct Message {
    Kind kind = Kind::End;
    Outcome outcome = Outcome::Failed; // End
    std::uint64_t done = 0, total = 0; // Step; Before's point in done
    std::string name, version, arch;   // Missing
    std::string text;                  // Step, Warn, End
};

// Set on the restore's own apt-get run (`-o QMVigilorn::Restoring=N`): the package hook sees
// it in its input and neither holds that run nor makes another point for it.
inline constexpr std::string_view kRestoringOption = "QMVigilorn::Restoring";

inline constexpr std::string_view kGo = "go\n";
inline constexpr std::string_view kStop = "stop\n";

// Control characters and newlines become spaces, and the line is cut to the bound.
inline std::string line(std::string_view verb, std::string_view text = {}) {
    std::string out(verb);
    if (!text.empty()) {
        out += ' ';
        for (const char c : text)
            out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? ' ' : c;
    }
    if (out.size() > kMaxLine - 1)
        out.resize(kMaxLine - 1);
    return out + '\n';
}

inline std::string missingLine(std::string_view name, std::string_view version,
                               std::string_view arch) {
    return line("missing",
                std::string(name) + ' ' + std::string(version) + ' ' + std::string(arch));
}
inline std::string stepLine(std::uint64_t done, std::uint64_t total, std::string_view text) {
    return line("step",
                std::to_string(done) + ' ' + std::to_string(total) + ' ' + std::string(text));
}
inline std::string beforeLine(std::uint64_t number) {
    return line("before", std::to_string(number));
}
inline std::string endLine(Outcome outcome, std::string_view text) {
    const char* word = outcome == Outcome::Ok        ? "ok"
                       : outcome == Outcome::Stopped ? "stopped"
                                                     : "failed";
    return line("end", std::string(word) + (text.empty() ? "" : " ") + std::string(text));
}

namespace detail {
inline bool number(std::string_view digits, std::uint64_t& out) {
    return digits.size() <= 19 && posix::parseDecimal(digits, out);
}
inline std::string_view word(std::string_view& rest) {
    const auto at = rest.find(' ');
    const std::string_view w = rest.substr(0, at);
    rest = at == std::string_view::npos ? std::string_view{} : rest.substr(at + 1);
    return w;
}
} // namespace detail

// Program side: one line, its newline removed; nothing for anything that is not one of the
// lines above.
inline std::optional<Message> parse(std::string_view text) {
    if (text.size() >= kMaxLine || text.find('\n') != std::string_view::npos)
        return std::nullopt;
    std::string_view rest = text;
    const std::string_view verb = detail::word(rest);
    Message m;
    if (verb == "ask" && rest.empty()) {
        m.kind = Kind::Ask;
    } else if (verb == "missing") {
        m.kind = Kind::Missing;
        m.name = detail::word(rest);
        m.version = detail::word(rest);
        m.arch = detail::word(rest);
        if (m.name.empty() || m.version.empty() || m.arch.empty() || !rest.empty())
            return std::nullopt;
    } else if (verb == "step") {
        m.kind = Kind::Step;
        if (!detail::number(detail::word(rest), m.done) ||
            !detail::number(detail::word(rest), m.total) || m.done > m.total)
            return std::nullopt;
        m.text = rest;
    } else if (verb == "warn") {
        m.kind = Kind::Warn;
        m.text = rest;
    } else if (verb == "before") {
        m.kind = Kind::Before;
        if (!detail::number(rest, m.done))
            return std::nullopt;
    } else if (verb == "end") {
        m.kind = Kind::End;
        const std::string_view word = detail::word(rest);
        if (word == "ok")
            m.outcome = Outcome::Ok;
        else if (word == "failed")
            m.outcome = Outcome::Failed;
        else if (word == "stopped")
            m.outcome = Outcome::Stopped;
        else
            return std::nullopt;
        m.text = rest;
    } else {
        return std::nullopt;
    }
    return m;
}

} // namespace vigilorn::restoreproto

#pragma once
// `qmvigilorn-system create`: the request the hook and the program send the root side for a
// new system point, and its one-line reply. Shared by both sides, so plain C++ and header-only.
//
//   create --reason asked|auto|unattended|window [--frontend NAME] --description TEXT
//          [--change TEXT]
//   reply on standard output: the point's number and a newline (status 0)
//
// Each option at most once, in any order. A description (and a change) is UTF-8 of at most
// kMaxDescription bytes once cleaned; a front end at most kMaxFrontend of [A-Za-z0-9._+-].
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vigilorn::pointreq {

inline constexpr std::string_view kCreateVerb = "create";
inline constexpr std::string_view kReasonOption = "--reason";
inline constexpr std::string_view kFrontendOption = "--frontend";
inline constexpr std::string_view kDescriptionOption = "--description";
inline constexpr std::string_view kChangeOption = "--change";

inline constexpr std::size_t kMaxDescription = 256;
// It travels in the hook's hold line too, whose bound is the tighter one.
inline constexpr std::size_t kMaxFrontend = 32;
// What a point the user asked for from the reminder is called; the change itself is its
// `--change`.
inline constexpr std::string_view kAskedDescription = "QMAutoResPnt";

inline constexpr std::string_view kUsage =
    "usage: qmvigilorn-system create --reason asked|auto|unattended|window "
    "[--frontend NAME] --description TEXT [--change TEXT]";

// Why a point is made. Restore is the root side's own, before it restores: never asked for.
enum class Reason { Asked, Auto, Unattended, Window, Restore };

inline constexpr Reason kRequestReasons[] = {Reason::Asked, Reason::Auto, Reason::Unattended,
                                             Reason::Window};

inline std::string_view reasonName(Reason reason) {
    switch (reason) {
    case Reason::Asked:
        return "asked";
    case Reason::Auto:
        return "auto";
    case Reason::Unattended:
        return "unattended";
    case Reason::Restore:
        return "restore";
    case Reason::Window:
        break;
    }
    return "window";
}

inline bool frontendChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '+' || c == '-';
}

inline bool validFrontend(std::string_view name) {
    if (name.size() > kMaxFrontend)
        return false;
    for (const char c : name)
        if (!frontendChar(c))
            return false;
    return true;
}

struct CreateRequest {
    Reason reason = Reason::Window;
    std::string frontend; // empty when not given
    std::string description;
    std::optional<std::string> change;
};

// The arguments after the program's path.
inline std::vector<std::string> createArguments(const CreateRequest& r) {
    std::vector<std::string> args{std::string(kCreateVerb), std::string(kReasonOption),
                                  std::string(reasonName(r.reason))};
    if (!r.frontend.empty()) {
        args.emplace_back(kFrontendOption);
        args.push_back(r.frontend);
    }
    args.emplace_back(kDescriptionOption);
    args.push_back(r.description);
    if (r.change) {
        args.emplace_back(kChangeOption);
        args.push_back(*r.change);
    }
    return args;
}

// The request as given, its texts not yet checked; nothing when the arguments are not a
// create request (the answer is then kUsage).
inline std::optional<CreateRequest> parseCreateArguments(const std::vector<std::string>& args) {
    if (args.empty() || args[0] != kCreateVerb)
        return std::nullopt;
    CreateRequest out;
    std::optional<std::string> reason, frontend, description;
    for (std::size_t i = 1; i < args.size(); i += 2) {
        if (i + 1 >= args.size())
            return std::nullopt;
        const std::string_view key = args[i];
        std::optional<std::string>* slot = key == kReasonOption        ? &reason
                                           : key == kFrontendOption    ? &frontend
                                           : key == kDescriptionOption ? &description
                                           : key == kChangeOption      ? &out.change
                                                                       : nullptr;
        if (!slot || slot->has_value())
            return std::nullopt;
        *slot = args[i + 1];
    }
    if (!reason || !description)
        return std::nullopt;
    bool known = false;
    for (const Reason r : kRequestReasons)
        if (*reason == reasonName(r)) {
            out.reason = r;
            known = true;
        }
    if (!known)
        return std::nullopt;
    out.frontend = frontend.value_or(std::string());
    out.description = *description;
    return out;
}

inline std::string replyLine(std::uint64_t number) {
    return std::to_string(number) + '\n';
}

// The number a reply gives; nothing for anything else, 0 included.
inline std::optional<std::uint64_t> parseReply(std::string_view text) {
    if (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);
    std::uint64_t n = 0;
    const char* end = text.data() + text.size();
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return std::nullopt;
    const auto read = std::from_chars(text.data(), end, n);
    if (read.ec != std::errc() || read.ptr != end || n == 0)
        return std::nullopt;
    return n;
}

} // namespace vigilorn::pointreq

#pragma once
// `qmvigilorn-system create`: the request the hook and the program send the root side for a
// new system point, and its one-line reply. Shared by both sides, so plain C++ and header-only.
//
//   create --reason asked|auto|unattended|window [--frontend NAME] --description TEXT
//          [--change TEXT] [--within SECONDS]
//   window-point --description TEXT
//   reply on standard output: the point's number and a newline (status 0), then, when some
//   replaced packages could not be kept, "not kept K" and a newline (K 1 to 19 digits, not 0)
//
// `window-point` is the one request a user at the machine may make without a password: a
// window point, no standard input read, paced by the root side. `--within` is how long the
// caller waits for the reply; the root side fits its own waits into it.
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
inline constexpr std::string_view kWindowPointVerb = "window-point";
inline constexpr std::string_view kWithinOption = "--within";
inline constexpr int kMaxWithinSeconds = 3600;

inline constexpr std::size_t kMaxDescription = 256;
// It travels in the hook's hold line too, whose bound is the tighter one.
inline constexpr std::size_t kMaxFrontend = 32;
// What a point the user asked for from the reminder is called; the change itself is its
// `--change`.
inline constexpr std::string_view kAskedDescription = "QMAutoResPnt";

inline constexpr std::string_view kUsage =
    "usage: qmvigilorn-system create --reason asked|auto|unattended|window "
    "[--frontend NAME] --description TEXT [--change TEXT] [--within SECONDS], or "
    "qmvigilorn-system window-point --description TEXT";

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
    bool paced = false; // window-point: a window point with nothing else
    int within = 0;     // 0: not given
};

// The arguments after the program's path.
inline std::vector<std::string> createArguments(const CreateRequest& r) {
    if (r.paced)
        return {std::string(kWindowPointVerb), std::string(kDescriptionOption), r.description};
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
    if (r.within > 0) {
        args.emplace_back(kWithinOption);
        args.push_back(std::to_string(r.within));
    }
    return args;
}

// The request as given, its texts not yet checked; nothing when the arguments are not a
// create request (the answer is then kUsage).
inline std::optional<CreateRequest> parseCreateArguments(const std::vector<std::string>& args) {
    CreateRequest out;
    if (!args.empty() && args[0] == kWindowPointVerb) {
        if (args.size() != 3 || args[1] != kDescriptionOption)
            return std::nullopt;
        out.paced = true;
        out.description = args[2];
        return out;
    }
    if (args.empty() || args[0] != kCreateVerb)
        return std::nullopt;
    std::optional<std::string> reason, frontend, description, within;
    for (std::size_t i = 1; i < args.size(); i += 2) {
        if (i + 1 >= args.size())
            return std::nullopt;
        const std::string_view key = args[i];
        std::optional<std::string>* slot = key == kReasonOption        ? &reason
                                           : key == kFrontendOption    ? &frontend
                                           : key == kDescriptionOption ? &description
                                           : key == kChangeOption      ? &out.change
                                           : key == kWithinOption      ? &within
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
    if (within) {
        const char* end = within->data() + within->size();
        const auto read = std::from_chars(within->data(), end, out.within);
        if (within->empty() || (*within)[0] < '1' || (*within)[0] > '9' || read.ec != std::errc() ||
            read.ptr != end || out.within > kMaxWithinSeconds)
            return std::nullopt;
    }
    out.frontend = frontend.value_or(std::string());
    out.description = *description;
    return out;
}

inline constexpr std::size_t kMaxReply = 64;
inline constexpr std::string_view kNotKeptWords = "not kept ";

struct Reply {
    std::uint64_t number = 0;
    std::uint64_t notKept = 0;
};

inline std::string replyText(const Reply& reply) {
    std::string text = std::to_string(reply.number) + '\n';
    if (reply.notKept > 0)
        text += std::string(kNotKeptWords) + std::to_string(reply.notKept) + '\n';
    return text;
}

inline std::string replyLine(std::uint64_t number) {
    return replyText({number, 0});
}

namespace detail {

inline std::optional<std::uint64_t> positive(std::string_view text) {
    std::uint64_t n = 0;
    const char* end = text.data() + text.size();
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return std::nullopt;
    const auto read = std::from_chars(text.data(), end, n);
    if (read.ec != std::errc() || read.ptr != end || n == 0)
        return std::nullopt;
    return n;
}

} // namespace detail

// The whole reply; the number alone without its newline is taken too, as makers before the
// count printed it.
inline std::optional<Reply> parseReplyText(std::string_view text) {
    if (text.size() > kMaxReply)
        return std::nullopt;
    const std::size_t nl = text.find('\n');
    Reply reply;
    const auto number = detail::positive(text.substr(0, nl));
    if (!number)
        return std::nullopt;
    reply.number = *number;
    if (nl == std::string_view::npos || nl + 1 == text.size())
        return reply;
    std::string_view rest = text.substr(nl + 1);
    if (rest.back() != '\n' || rest.substr(0, kNotKeptWords.size()) != kNotKeptWords)
        return std::nullopt;
    const auto kept =
        detail::positive(rest.substr(kNotKeptWords.size(), rest.size() - kNotKeptWords.size() - 1));
    if (!kept)
        return std::nullopt;
    reply.notKept = *kept;
    return reply;
}

// The number a reply gives; nothing for anything else, 0 included.
inline std::optional<std::uint64_t> parseReply(std::string_view text) {
    const auto reply = parseReplyText(text);
    if (!reply)
        return std::nullopt;
    return reply->number;
}

} // namespace vigilorn::pointreq

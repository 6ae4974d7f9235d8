#pragma once
// The desktop's notification service: a short message that comes and goes by itself.
#include <cstdint>
#include <optional>
#include <string>

namespace vigilorn {

class Notifier {
public:
    virtual ~Notifier() = default;
    // Shows summary and body, in place of the notification `replaces` when it is not 0. The
    // new one's id, or nothing when no service took it.
    virtual std::optional<std::uint32_t> notify(const std::string& summary, const std::string& body,
                                                std::uint32_t replaces) = 0;
};

} // namespace vigilorn

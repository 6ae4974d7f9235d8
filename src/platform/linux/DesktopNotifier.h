#pragma once
// org.freedesktop.Notifications on the session bus.
#include "platform/Notifier.h"

#include <optional>

namespace vigilorn {

class DesktopNotifier final : public Notifier {
public:
    // A service that has not answered within this is taken as absent.
    static constexpr int kTimeoutMs = 2000;

    std::optional<std::uint32_t> notify(const std::string& summary, const std::string& body,
                                        std::uint32_t replaces) override;

private:
    std::optional<bool> m_markup; // whether the service reads the body as markup
};

} // namespace vigilorn

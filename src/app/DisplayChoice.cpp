#include "DisplayChoice.h"

namespace vigilorn {

namespace {
bool given(const char* value) {
    return value && *value;
}
} // namespace

std::string preferredPlatform(const char* qpaPlatform, const char* display,
                              const char* waylandDisplay) {
    if (given(qpaPlatform) || !given(display))
        return {};
    return given(waylandDisplay) ? "xcb;wayland" : "xcb";
}

} // namespace vigilorn

#pragma once
// Which Qt platform plugin the program asks for before its application object exists.
#include <string>

namespace vigilorn {

// What QT_QPA_PLATFORM is to be set to, or empty to leave it alone. A choice the user made is
// kept. Where an X display exists it is preferred: reminders stay on top and windows keep
// their places there, which a Wayland compositor does not let a program ask for. Wayland stays
// as the fallback when the X server cannot be reached.
std::string preferredPlatform(const char* qpaPlatform, const char* display,
                              const char* waylandDisplay);

} // namespace vigilorn

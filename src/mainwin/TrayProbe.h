#pragma once
// Whether a notification area is there. Qt settles once, at its first look, whether its icons
// go through StatusNotifierItem; these looks come first so that an icon host which appears
// after the program is still used.
namespace vigilorn {

// org.kde.StatusNotifierWatcher is on the session bus and a host has registered with it.
bool statusNotifierHostPresent();
// An X tray owns the _NET_SYSTEM_TRAY selection of the program's screen.
bool xembedTrayPresent();
// One of the two is there, and Qt agrees.
bool notificationAreaPresent();

} // namespace vigilorn

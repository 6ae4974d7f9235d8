#pragma once
class QWidget;

namespace vigilorn {

// While the window's title is empty, the title the window system shows stays empty as well,
// also after the native window is created anew (a change of window flags does that): Qt would
// show the application name in its place.
void keepEmptyTitle(QWidget* window);

} // namespace vigilorn

#pragma once

class QWidget;

namespace Module1 {

// Brings a window above all others (or back among them) without moving it, and shows it.
void setWindowOnTop(QWidget* target, bool onTop);

} // namespace Module1

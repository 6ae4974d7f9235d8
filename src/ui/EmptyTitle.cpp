#include "EmptyTitle.h"

#include "platform/Platform.h"

#include <QEvent>
#include <QWidget>

namespace vigilorn {
namespace {

class EmptyTitleFilter final : public QObject {
public:
    explicit EmptyTitleFilter(QWidget* window) : QObject(window), m_window(window) {}

    bool eventFilter(QObject* watched, QEvent* e) override {
        if (watched == m_window &&
            (e->type() == QEvent::WinIdChange || e->type() == QEvent::WindowTitleChange ||
             e->type() == QEvent::Show) &&
            m_window->windowTitle().isEmpty())
            clearNativeWindowTitle(static_cast<std::uintptr_t>(m_window->internalWinId()));
        return false;
    }

private:
    QWidget* m_window;
};

} // namespace

void keepEmptyTitle(QWidget* window) {
    window->installEventFilter(new EmptyTitleFilter(window));
    if (window->windowTitle().isEmpty())
        clearNativeWindowTitle(static_cast<std::uintptr_t>(window->internalWinId()));
}

} // namespace vigilorn

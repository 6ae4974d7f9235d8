#include "WindowOnTop.h"

#include "ErrorReport.h"

#include <QWidget>

namespace Module1 {

using namespace vigilorn;

void setWindowOnTop(QWidget* target, bool onTop) {
    guarded([&] {
        if (!target)
            throw RuntimeError(ErrorNumber::InvalidProcedureCall);
        const QPoint pos = target->pos();
        const bool moved = target->testAttribute(Qt::WA_Moved);
        // Changing a window's flags hides it; the position is put back, and it is shown.
        target->setWindowFlag(Qt::WindowStaysOnTopHint, onTop);
        if (moved)
            target->move(pos);
        target->show();
    });
}

} // namespace Module1

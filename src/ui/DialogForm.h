#pragma once
// A single-instance dialog that unloads however it is closed, and that has no keyboard close of
// its own: QDialog would otherwise hide it on Escape or on done() and keep it loaded, so that the
// next opening showed the old contents.
#include "Form.h"

#include <QDialog>
#include <QKeyEvent>

namespace vigilorn {

template <class Derived> class DialogForm : public Form<Derived, QDialog> {
public:
    // Ends a modal wait as well as hiding the window; the window then unloads.
    void done(int result) override {
        QDialog::done(result);
        if (!this->isUnloading())
            this->unload();
    }

protected:
    DialogForm() = default;

    void keyPressEvent(QKeyEvent* e) override {
        if (e->matches(QKeySequence::Cancel)) {
            e->accept();
            return;
        }
        QDialog::keyPressEvent(e);
    }
};

} // namespace vigilorn

#pragma once
// Every window is a single instance: created on first use, destroyed when it unloads.
#include <QCloseEvent>
#include <QPointer>
#include <QScreen>
#include <QWidget>

namespace vigilorn {

template <class Derived, class Base = QWidget> class Form : public Base {
public:
    // The loaded window, created if there is none.
    static Derived* instance() {
        if (!s_current)
            s_current = new Derived();
        return s_current;
    }
    // The loaded window, or nullptr.
    static Derived* loaded() { return s_current; }

    // Hides the window and destroys it once no handler of it is running any more, so that a
    // timer tick during a modal wait can never delete a window whose handler still uses it.
    void unload() {
        if (s_current == static_cast<Derived*>(this))
            s_current = nullptr;
        m_unloadPending = true;
        this->hide();
        if (m_handlers == 0)
            this->deleteLater();
    }
    bool isUnloading() const { return m_unloadPending; }

protected:
    Form() = default;

    // Hold one of these in a handler that may wait (message box, modal window).
    class HandlerScope {
    public:
        explicit HandlerScope(Form* f) : m_form(f) { ++m_form->m_handlers; }
        ~HandlerScope() {
            if (--m_form->m_handlers == 0 && m_form->m_unloadPending)
                m_form->deleteLater();
        }
        HandlerScope(const HandlerScope&) = delete;
        HandlerScope& operator=(const HandlerScope&) = delete;

    private:
        Form* m_form;
    };

    void closeEvent(QCloseEvent* e) override {
        Base::closeEvent(e);
        if (e->isAccepted() && !m_unloadPending)
            unload();
    }

    // Centred on the screen, from the window's outer size.
    void centreOnScreen() {
        if (auto* screen = this->screen()) {
            const QRect avail = screen->geometry();
            const QSize outer = this->frameGeometry().size();
            this->move(avail.left() + (avail.width() - outer.width()) / 2,
                       avail.top() + (avail.height() - outer.height()) / 2);
        }
    }

private:
    static inline QPointer<Derived> s_current;
    int m_handlers = 0;
    bool m_unloadPending = false;
};

} // namespace vigilorn

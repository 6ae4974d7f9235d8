#pragma once
#include "platform/RuntimeError.h"

#include <QString>

class QWidget;

namespace vigilorn {

QString errorReportText(const PlatformError& e);

// The "System Error!" box.
void reportError(const PlatformError& e, QWidget* parent = nullptr);

// Runs a handler under the error report: a RuntimeError it throws is shown, then the handler
// is over.
template <class F> void guarded(F&& handler, QWidget* parent = nullptr) {
    try {
        handler();
    } catch (const RuntimeError& e) {
        reportError(e.error(), parent);
    }
}

// Runs a pass whose failures end it silently.
template <class F> void silently(F&& pass) {
    try {
        pass();
    } catch (const RuntimeError&) {
    }
}

} // namespace vigilorn

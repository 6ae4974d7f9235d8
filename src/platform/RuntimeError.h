#pragma once
// A run-time error of the program: thrown by a step, caught and reported by the handler
// of the event that started it.
#include "platform/PlatformError.h"

#include <stdexcept>

namespace vigilorn {

class RuntimeError : public std::runtime_error {
public:
    explicit RuntimeError(PlatformError e)
        : std::runtime_error(e.description), m_error(std::move(e)) {}
    explicit RuntimeError(int number) : RuntimeError(programError(number)) {}
    const PlatformError& error() const { return m_error; }

private:
    PlatformError m_error;
};

// Turns a reported failure into a thrown error.
inline void throwIfFailed(const Failure& f) {
    if (f)
        throw RuntimeError(*f);
}

} // namespace vigilorn

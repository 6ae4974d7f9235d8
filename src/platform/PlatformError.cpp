#include "PlatformError.h"

#include <cstring>

namespace vigilorn {

PlatformError errorFromErrno(int err) {
    // One user-interface thread, so the non-reentrant strerror is safe and portable.
    const char* text = std::strerror(err);
    return {err, text ? std::string(text) : std::string("Unknown error")};
}

PlatformError programError(int number) {
    switch (number) {
    case ErrorNumber::InvalidProcedureCall:
        return {number, "Invalid procedure call or argument"};
    case ErrorNumber::Overflow:
        return {number, "Overflow"};
    case ErrorNumber::TypeMismatch:
        return {number, "Type mismatch"};
    case ErrorNumber::CantPerformOperation:
        return {number, "Can't perform requested operation"};
    default:
        return {number, "Application-defined or object-defined error"};
    }
}

} // namespace vigilorn

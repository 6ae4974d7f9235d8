#pragma once
// The error every platform call reports: a number and a readable description.
// Plain C++ so that each platform's implementation builds without Qt.
#include <optional>
#include <string>

namespace vigilorn {

struct PlatformError {
    int number = 0;
    std::string description;
};

// std::nullopt means success.
using Failure = std::optional<PlatformError>;

// The program's own run-time error numbers.
namespace ErrorNumber {
inline constexpr int InvalidProcedureCall = 5;
inline constexpr int Overflow = 6;
inline constexpr int TypeMismatch = 13;
inline constexpr int CantPerformOperation = 17;
} // namespace ErrorNumber

PlatformError errorFromErrno(int err);
PlatformError programError(int number);

} // namespace vigilorn

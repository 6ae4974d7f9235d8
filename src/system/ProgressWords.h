#pragma once
// Counts in the restore's progress lines, in words a reader expects: "1 package", "2 packages".
#include <cstdint>
#include <string>
#include <string_view>

namespace vigilorn::sys {

inline std::string counted(std::uint64_t n, std::string_view one, std::string_view many) {
    return std::to_string(n) + ' ' + std::string(n == 1 ? one : many);
}

inline std::string packagesStep(std::uint64_t versions, std::uint64_t removals) {
    return "putting back " + counted(versions, "package version", "package versions") +
           " and removing " + counted(removals, "package", "packages") + " installed since";
}

} // namespace vigilorn::sys

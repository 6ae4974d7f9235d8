#pragma once
// sizes.list beside points.list: what each system point alone holds (the bytes that going
// would free: its own kept packages and stored files) and what all of them take together,
// written by the root side and read by the program. A file of its own, so that readers of
// points.list see no new field.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace vigilorn {

inline constexpr const char* kSystemPointSizesName = "sizes.list";

struct SystemPointSizes {
    std::map<unsigned long long, std::uint64_t> alone; // by point number
    std::uint64_t total = 0;                           // points and kept packages together
    std::uint64_t budget = 0;                          // 0 when unknown
};

// "N TAB bytes" per point, then "total TAB bytes" and "budget TAB bytes".
std::string formatSystemPointSizes(const SystemPointSizes& sizes);
// Lines that do not parse are skipped.
SystemPointSizes parseSystemPointSizes(std::string_view text);

// "1.5 MiB", "120 KiB", "80 bytes".
std::string formatBytes(std::uint64_t bytes);

} // namespace vigilorn

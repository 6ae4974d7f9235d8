#pragma once
// The system's restore point maker, run by its fixed path with an argument list.
#include "platform/PointRequest.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vigilorn::sys {

struct MakerRequest {
    pointreq::CreateRequest request;
    std::string actionLines; // its standard input
};

struct MakerResult {
    enum class Status { Made, Failed, Missing, TimedOut };
    Status status = Status::Failed;
    std::uint64_t number = 0;
    std::string problem;
};

class PointMaker {
public:
    PointMaker(std::string path, std::chrono::milliseconds cap);

    // The maker's argument list, its path first.
    std::vector<std::string> arguments(const MakerRequest& request) const;
    // Runs it, feeds it the action lines and reads the point's number from its output; it is
    // killed when it runs past the cap.
    MakerResult make(const MakerRequest& request) const;

    const std::string& path() const { return m_path; }

private:
    std::string m_path;
    std::chrono::milliseconds m_cap;
};

} // namespace vigilorn::sys

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
    std::uint64_t notKept = 0; // replaced packages the point could not keep
    std::string problem;
};

class PointMaker {
public:
    PointMaker(std::string path, std::chrono::milliseconds cap);

    // The maker's argument list, its path first.
    std::vector<std::string> arguments(const MakerRequest& request) const;
    // Runs it, feeds it the action lines and reads the point's number from its output; at the
    // cap its process group is ended, what it started with it.
    MakerResult make(const MakerRequest& request) const;

    const std::string& path() const { return m_path; }
    // How long it is given to end on its own once the cap is near.
    std::chrono::milliseconds grace() const;

private:
    std::string m_path;
    std::chrono::milliseconds m_cap;
};

} // namespace vigilorn::sys

#include "PointMaker.h"

#include "Run.h"

#include <cerrno>
#include <string_view>

namespace vigilorn::sys {

namespace {

// The point's number and nothing else.
constexpr std::size_t kMaxOutput = 64;

} // namespace

PointMaker::PointMaker(std::string path, std::chrono::milliseconds cap)
    : m_path(std::move(path)), m_cap(cap) {}

std::vector<std::string> PointMaker::arguments(const MakerRequest& request) const {
    std::vector<std::string> args{m_path};
    for (auto& a : pointreq::createArguments(request.request))
        args.push_back(std::move(a));
    return args;
}

MakerResult PointMaker::make(const MakerRequest& request) const {
    RunOptions options;
    options.cap = m_cap;
    options.keep = kMaxOutput;
    options.keepStart = true;
    // Its one line of why goes where the change runs.
    options.errorsTo = RunOptions::Errors::Ours;
    options.input = request.actionLines;
    const RunResult run = sys::run(arguments(request), options);

    MakerResult result;
    if (!run.started) {
        const int e = run.startError;
        result.status = (e == ENOENT || e == EACCES || e == ENOTDIR) ? MakerResult::Status::Missing
                                                                     : MakerResult::Status::Failed;
        result.problem = run.problem;
    } else if (run.timedOut) {
        result.status = MakerResult::Status::TimedOut;
        result.problem =
            "did not finish within " + std::to_string(m_cap.count() / 1000) + " s and was stopped";
    } else if (run.status < 0) {
        result.problem = "was " + run.problem;
    } else if (run.status != 0) {
        result.problem = "failed with exit status " + std::to_string(run.status);
    } else if (const auto number = pointreq::parseReply(run.output); number && !run.cut) {
        result.status = MakerResult::Status::Made;
        result.number = *number;
    } else {
        result.problem = "did not give the point's number";
    }
    return result;
}

} // namespace vigilorn::sys

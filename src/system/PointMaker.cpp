#include "PointMaker.h"

#include "Run.h"

#include <algorithm>
#include <cerrno>
#include <string_view>

namespace vigilorn::sys {

namespace {

constexpr std::size_t kMaxOutput = pointreq::kMaxReply;

} // namespace

PointMaker::PointMaker(std::string path, std::chrono::milliseconds cap)
    : m_path(std::move(path)), m_cap(cap) {}

std::chrono::milliseconds PointMaker::grace() const {
    return std::min<std::chrono::milliseconds>(std::chrono::seconds(5), m_cap / 4);
}

std::vector<std::string> PointMaker::arguments(const MakerRequest& request) const {
    // The maker fits its waits into what is left of ours, a second short of it.
    pointreq::CreateRequest r = request.request;
    const auto left = std::chrono::duration_cast<std::chrono::seconds>(m_cap - grace()).count();
    r.within = static_cast<int>(std::clamp<long long>(left - 1, 1, pointreq::kMaxWithinSeconds));
    std::vector<std::string> args{m_path};
    for (auto& a : pointreq::createArguments(r))
        args.push_back(std::move(a));
    return args;
}

MakerResult PointMaker::make(const MakerRequest& request) const {
    RunOptions options;
    // Asked to end first, so that it ends what it started too.
    options.cap = m_cap - grace();
    options.grace = grace();
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
    } else if (const auto reply = pointreq::parseReplyText(run.output); reply && !run.cut) {
        result.status = MakerResult::Status::Made;
        result.number = reply->number;
        result.notKept = reply->notKept;
    } else {
        result.problem = "did not give the point's number";
    }
    return result;
}

} // namespace vigilorn::sys

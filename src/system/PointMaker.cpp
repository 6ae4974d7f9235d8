#include "PointMaker.h"

#include "Run.h"

#include <algorithm>
#include <cerrno>
#include <string_view>

namespace vigilorn::sys {

namespace {

// The point's number and nothing else.
constexpr std::size_t kMaxOutput = 64;

std::optional<std::uint64_t> parseNumber(std::string_view text) {
    if (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);
    if (text.empty() || text.size() > 19)
        return std::nullopt;
    std::uint64_t n = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        n = n * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return n;
}

} // namespace

PointMaker::PointMaker(std::string path, std::chrono::milliseconds cap)
    : m_path(std::move(path)), m_cap(cap) {}

std::chrono::milliseconds PointMaker::grace() const {
    return std::min<std::chrono::milliseconds>(std::chrono::seconds(5), m_cap / 4);
}

std::vector<std::string> PointMaker::arguments(const MakerRequest& request) const {
    std::vector<std::string> args{m_path,          "create",           "--reason",
                                  request.reason,  "--frontend",       request.frontend,
                                  "--description", request.description};
    if (request.change) {
        args.emplace_back("--change");
        args.push_back(*request.change);
    }
    // The maker fits its waits into what is left of ours, a second short of it.
    const auto left = std::chrono::duration_cast<std::chrono::seconds>(m_cap - grace()).count();
    args.emplace_back("--within");
    args.push_back(std::to_string(std::max<long long>(1, left - 1)));
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
    } else if (const auto number = parseNumber(run.output); number && !run.cut) {
        result.status = MakerResult::Status::Made;
        result.number = *number;
    } else {
        result.problem = "did not give the point's number";
    }
    return result;
}

} // namespace vigilorn::sys

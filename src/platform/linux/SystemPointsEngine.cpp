#include "SystemPointsEngine.h"

#include "RootSideRunner.h"
#include "platform/PointRequest.h"
#include "platform/SystemPointList.h"
#include "platform/posix/Files.h"
#include "platform/posix/Text.h"

#include <QtGlobal>

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

namespace vigilorn {
namespace {

// Above this the list is not a list of points.
constexpr std::size_t kMaxList = 8 * 1024 * 1024;
// What the root side may say on standard error that is shown.
constexpr std::size_t kMaxShownError = 400;

PlatformError failure(const std::string& text) {
    return {ErrorNumber::CantPerformOperation, text};
}

// The point maker's command line for a point asked for from the window: through pkexec the
// one request a user may make without a password, which the maker paces.
Command createCommand(const std::string& maker, const std::string& description, bool asRoot) {
    // The root side cuts it to its bound; a longer text is not worth sending.
    pointreq::CreateRequest request{pointreq::Reason::Window,
                                    {},
                                    description.substr(0, pointreq::kMaxDescription * 4),
                                    std::nullopt};
    request.paced = !asRoot;
    return {maker, pointreq::createArguments(request)};
}

} // namespace

SystemPointsEngine::Options SystemPointsEngine::installedOptions() {
    Options o;
    o.maker = VIGILORN_SYSTEM_POINT_MAKER;
    o.list = std::string(kSystemPointFolder) + "/" + kSystemPointListName;
    return o;
}

bool SystemPointsEngine::installed(const Options& o) {
    struct stat st {};
    // Only a maker that root owns and nobody else may change is worth asking pkexec for.
    return ::stat(o.maker.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 && (st.st_mode & S_IXUSR);
}

std::string SystemPointsEngine::displayName() const {
    return "system points in " + std::string(kSystemPointFolder);
}

Failure SystemPointsEngine::createRestorePoint(const std::string& description, int, int) {
    if (description.find('\0') != std::string::npos)
        return programError(ErrorNumber::InvalidProcedureCall);
    RootSideRunner runner({m_options.pkexec, m_options.asRoot});
    std::string out, err;
    const auto ending = runner.run(createCommand(m_options.maker, description, m_options.asRoot),
                                   out, &err, m_options.timeoutMs);
    using How = RootSideRunner::Ending::How;
    if (ending.how == How::NotStarted)
        return failure("The restore point could not be made: " +
                       runner.started({m_options.maker, {}}).program + " " + ending.words() + ".");
    if (ending.how == How::TimedOut)
        return failure("The restore point was not made in time.");
    if (ending.how == How::NotAuthorised)
        return failure("The restore point was not made: making one " + ending.words() + ".");
    if (!ending.ok()) {
        const std::string said(posix::trim(std::string_view(err).substr(0, kMaxShownError)));
        return failure("The restore point was not made: " +
                       (said.empty() ? std::string("the root side failed") : said));
    }
    const auto reply = pointreq::parseReply(out);
    if (!reply)
        return failure("The restore point was not made: the root side gave no number.");
    const std::uint64_t number = *reply;
    // The system point stands without it: the failure is said, not reported as the point's.
    if (const Failure f = adoptRestorePoint(number, description, {}))
        qWarning("P%llu: the configuration folder was not recorded: %s",
                 static_cast<unsigned long long>(number), f->description.c_str());
    return std::nullopt;
}

Failure SystemPointsEngine::adoptRestorePoint(std::uint64_t number, const std::string& description,
                                              const std::string& keep) {
    if (!m_configParts)
        return std::nullopt;
    return m_configParts->createNumberedRestorePoint(description, kRestorePointType,
                                                     kRestorePointEventType, number, keep);
}

Failure SystemPointsEngine::listRestorePoints(std::vector<RestorePointRecord>& out) {
    out.clear();
    const auto list = posix::readFile(AT_FDCWD, m_options.list, kMaxList);
    if (list.failure == posix::ReadFailure::Missing)
        return std::nullopt;
    if (!list.ok())
        return list.errorNumber
                   ? Failure{errorFromErrno(list.errorNumber)}
                   : failure(m_options.list + " is " + posix::failureName(list.failure) + ".");
    const std::string& text = list.text;
    for (const SystemPoint& p : parseSystemPointList(text))
        out.push_back({std::to_string(p.number), p.description, p.creationTime});
    return std::nullopt;
}

} // namespace vigilorn

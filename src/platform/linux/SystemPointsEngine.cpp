#include "SystemPointsEngine.h"

#include "platform/PointRequest.h"
#include "platform/SystemPointList.h"

#include <QProcess>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace vigilorn {
namespace {

// Above this the list is not a list of points.
constexpr std::size_t kMaxList = 8 * 1024 * 1024;
// pkexec: 126 the user said no, 127 not authorised.
constexpr int kPkexecDismissed = 126;
constexpr int kPkexecNotAuthorised = 127;

PlatformError failure(const std::string& text) {
    return {ErrorNumber::CantPerformOperation, text};
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
    QString program = QString::fromStdString(m_options.maker);
    // The root side cuts it to its bound; a longer text is not worth sending.
    QStringList arguments;
    for (const auto& a :
         pointreq::createArguments({pointreq::Reason::Window,
                                    {},
                                    description.substr(0, pointreq::kMaxDescription * 4),
                                    std::nullopt}))
        arguments << QString::fromStdString(a);
    if (::geteuid() != 0) {
        arguments.prepend(program);
        program = QString::fromStdString(m_options.pkexec);
    }
    QProcess p;
    p.setStandardInputFile(QProcess::nullDevice());
    p.start(program, arguments);
    if (!p.waitForStarted(10000))
        return failure("The restore point could not be made: " + program.toStdString() +
                       " could not be started.");
    if (!p.waitForFinished(m_options.timeoutMs)) {
        p.kill();
        p.waitForFinished(2000);
        return failure("The restore point was not made in time.");
    }
    const QByteArray out = p.readAllStandardOutput();
    const QByteArray err = p.readAllStandardError().left(400).trimmed();
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        if (p.exitCode() == kPkexecDismissed || p.exitCode() == kPkexecNotAuthorised)
            return failure("The restore point was not made: making one was not authorised.");
        return failure("The restore point was not made: " +
                       (err.isEmpty() ? std::string("the root side failed") : err.toStdString()));
    }
    const auto reply = pointreq::parseReply(out.toStdString());
    if (!reply)
        return failure("The restore point was not made: the root side gave no number.");
    const unsigned long long number = *reply;
    // The system point stands without it: the failure is said, not reported as the point's.
    if (const Failure f = adoptRestorePoint(number, description, {}))
        qWarning("P%llu: the configuration folder was not recorded: %s", number,
                 f->description.c_str());
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
    const int fd = ::open(m_options.list.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return errno == ENOENT ? Failure{} : Failure{errorFromErrno(errno)};
    std::string text;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buf, static_cast<std::size_t>(n));
        if (text.size() > kMaxList)
            break;
    }
    ::close(fd);
    for (const SystemPoint& p : parseSystemPointList(text))
        out.push_back({std::to_string(p.number), p.description, p.creationTime});
    return std::nullopt;
}

} // namespace vigilorn

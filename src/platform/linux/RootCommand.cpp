#include "RootCommand.h"

#include <QProcess>
#include <QStringList>

#include <unistd.h>

namespace vigilorn {

bool RootCommand::isRoot() {
    return ::geteuid() == 0;
}

bool RootCommand::available() {
    return isRoot() || ::access(kPkexec, X_OK) == 0;
}

Failure RootCommand::run(const Command& command, std::string& output, int timeoutMs) {
    QStringList arguments;
    for (const auto& a : command.arguments)
        arguments << QString::fromStdString(a);
    QString program = QString::fromStdString(command.program);
    if (command.program.empty() || command.program.front() != '/')
        return PlatformError{RestoreChanges::kCommandFailed,
                             "Not run as root, not a fixed path: " + command.program};
    if (!isRoot()) {
        if (::access(kPkexec, X_OK) != 0)
            return PlatformError{RestoreChanges::kCommandFailed,
                                 "pkexec is not installed, and " + command.program +
                                     " needs administrator rights."};
        // pkexec takes no "--": an absolute path can't be read as one of its options.
        arguments.prepend(program);
        program = QString::fromLatin1(kPkexec);
    }
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.setStandardInputFile(QProcess::nullDevice());
    p.start(program, arguments);
    if (!p.waitForStarted())
        return PlatformError{RestoreChanges::kCommandFailed, "Could not start " +
                                                                 program.toStdString() + ": " +
                                                                 p.errorString().toStdString()};
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        output = p.readAll().toStdString();
        return PlatformError{RestoreChanges::kCommandFailed,
                             commandLine(command) + " did not finish in time."};
    }
    output = QString::fromLocal8Bit(p.readAll()).toStdString();
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        std::string message = output;
        while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
            message.pop_back();
        // pkexec's own codes: 126 the user said no, 127 not authorised.
        std::string why = p.exitStatus() != QProcess::NormalExit
                              ? "crashed"
                              : "failed with exit code " + std::to_string(p.exitCode());
        return PlatformError{RestoreChanges::kCommandFailed,
                             commandLine(command) + " " + why +
                                 (message.empty() ? "." : ": " + message)};
    }
    return std::nullopt;
}

} // namespace vigilorn

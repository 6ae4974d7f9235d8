#include "RootSideRunner.h"

#include <QElapsedTimer>
#include <QProcess>

namespace vigilorn {
namespace {

// pkexec's own: the request was dismissed (126), or not authorised or not runnable (127).
constexpr int kPkexecDismissed = 126;
constexpr int kPkexecNotAuthorised = 127;

void appendBounded(std::string& to, const QByteArray& bytes) {
    if (to.size() < RootSideRunner::kMaxOutput)
        to.append(bytes.constData(), std::min<std::size_t>(static_cast<std::size_t>(bytes.size()),
                                                           RootSideRunner::kMaxOutput - to.size()));
}

QStringList argumentsOf(const Command& command) {
    QStringList arguments;
    for (const auto& a : command.arguments)
        arguments << QString::fromStdString(a);
    return arguments;
}

} // namespace

std::string RootSideRunner::Ending::words() const {
    switch (how) {
    case How::Exited:
        return exitCode == 0 ? "finished" : "failed with exit code " + std::to_string(exitCode);
    case How::Crashed:
        return "crashed";
    case How::TimedOut:
        return "did not finish in time";
    case How::NotAuthorised:
        return "was not authorised";
    case How::NotStarted:
        break;
    }
    return "could not be started" + (detail.empty() ? std::string() : ": " + detail);
}

RootSideRunner::RootSideRunner() : RootSideRunner(Options{}) {}

RootSideRunner::RootSideRunner(Options options) : m_options(std::move(options)) {}

RootSideRunner::~RootSideRunner() {
    if (!m_process)
        return;
    m_process->disconnect();
    m_process->closeWriteChannel();
    m_process->kill();
    (void)m_process.release();
}

bool RootSideRunner::available() const {
    return m_options.asRoot || ::access(m_options.pkexec.c_str(), X_OK) == 0;
}

Command RootSideRunner::started(const Command& command) const {
    if (m_options.asRoot)
        return command;
    Command c{m_options.pkexec, command.arguments};
    c.arguments.insert(c.arguments.begin(), command.program);
    return c;
}

RootSideRunner::Ending RootSideRunner::ending(int exitCode, bool crashed) const {
    Ending e;
    e.exitCode = exitCode;
    if (crashed)
        e.how = Ending::How::Crashed;
    else if (!m_options.asRoot &&
             (exitCode == kPkexecDismissed || exitCode == kPkexecNotAuthorised))
        e.how = Ending::How::NotAuthorised;
    else
        e.how = Ending::How::Exited;
    return e;
}

RootSideRunner::Ending RootSideRunner::run(const Command& command, std::string& out,
                                           std::string* err, int timeoutMs) {
    out.clear();
    if (err)
        err->clear();
    if (command.program.empty() || command.program.front() != '/')
        return {Ending::How::NotStarted, -1, "not a fixed path: " + command.program};
    if (!available())
        return {Ending::How::NotStarted, -1,
                m_options.pkexec + " is not installed, and " + command.program +
                    " needs administrator rights"};
    const Command c = started(command);
    QProcess p;
    p.setProcessChannelMode(err ? QProcess::SeparateChannels : QProcess::MergedChannels);
    p.setStandardInputFile(QProcess::nullDevice());
    p.start(QString::fromStdString(c.program), argumentsOf(c));
    if (!p.waitForStarted())
        return {Ending::How::NotStarted, -1, p.errorString().toStdString()};
    QElapsedTimer clock;
    clock.start();
    std::string errors;
    const auto take = [&] {
        appendBounded(out, p.readAllStandardOutput());
        if (err)
            appendBounded(errors, p.readAllStandardError());
    };
    for (;;) {
        const auto left = timeoutMs - clock.elapsed();
        if (p.state() == QProcess::NotRunning || left <= 0)
            break;
        // Wakes for output or for the end; what came is kept within the bound as it comes. A
        // child that closed its output is waited for to its end.
        if (!p.waitForReadyRead(static_cast<int>(left)) && p.state() != QProcess::NotRunning)
            p.waitForFinished(static_cast<int>(std::max<qint64>(1, timeoutMs - clock.elapsed())));
        take();
    }
    const bool timedOut = p.state() != QProcess::NotRunning;
    if (timedOut) {
        p.kill();
        p.waitForFinished();
    }
    take();
    if (err)
        *err = std::move(errors);
    if (timedOut)
        return {Ending::How::TimedOut, -1, {}};
    return ending(p.exitCode(), p.exitStatus() != QProcess::NormalExit);
}

bool RootSideRunner::start(const Command& command, Events events) {
    if (m_process)
        return false;
    m_events = std::move(events);
    m_process = std::make_unique<QProcess>();
    QProcess* p = m_process.get();
    if (command.program.empty() || command.program.front() != '/') {
        const std::string why = "not a fixed path: " + command.program;
        QMetaObject::invokeMethod(
            p,
            [this, why] {
                finish({Ending::How::NotStarted, -1, why});
            },
            Qt::QueuedConnection);
        return true;
    }
    QObject::connect(p, &QProcess::readyReadStandardOutput, p, [this] {
        const QByteArray bytes = m_process->readAllStandardOutput();
        if (m_events.output)
            m_events.output({bytes.constData(), static_cast<std::size_t>(bytes.size())});
    });
    QObject::connect(p, &QProcess::readyReadStandardError, p, [this] {
        const QByteArray bytes = m_process->readAllStandardError();
        if (m_events.errors)
            m_events.errors({bytes.constData(), static_cast<std::size_t>(bytes.size())});
    });
    QObject::connect(p, &QProcess::finished, p, [this](int code, QProcess::ExitStatus status) {
        drain();
        finish(ending(code, status != QProcess::NormalExit));
    });
    QObject::connect(p, &QProcess::errorOccurred, p, [this](QProcess::ProcessError e) {
        if (e != QProcess::FailedToStart)
            return;
        const std::string why = m_process->errorString().toStdString();
        // No finished signal follows a start that failed.
        QMetaObject::invokeMethod(
            m_process.get(),
            [this, why] {
                finish({Ending::How::NotStarted, -1, why});
            },
            Qt::QueuedConnection);
    });
    const Command c = started(command);
    p->start(QString::fromStdString(c.program), argumentsOf(c));
    return true;
}

void RootSideRunner::drain() {
    const QByteArray err = m_process->readAllStandardError();
    if (!err.isEmpty() && m_events.errors)
        m_events.errors({err.constData(), static_cast<std::size_t>(err.size())});
    const QByteArray out = m_process->readAllStandardOutput();
    if (!out.isEmpty() && m_events.output)
        m_events.output({out.constData(), static_cast<std::size_t>(out.size())});
}

void RootSideRunner::finish(Ending e) {
    if (!m_process)
        return;
    m_process->disconnect();
    m_process.release()->deleteLater();
    Events events = std::move(m_events);
    m_events = {};
    if (events.finished)
        events.finished(e);
}

void RootSideRunner::write(std::string_view text) {
    if (m_process)
        m_process->write(text.data(), static_cast<qint64>(text.size()));
}

void RootSideRunner::closeInput() {
    if (m_process)
        m_process->closeWriteChannel();
}

void RootSideRunner::kill() {
    if (m_process)
        m_process->kill();
}

} // namespace vigilorn

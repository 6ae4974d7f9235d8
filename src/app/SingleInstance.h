#pragma once
// One running copy per user and display: the first start holds a lock file and listens on a
// local socket beside it; a later start asks the first to come forward and then ends. The
// root side's package hook asks on the same socket for a change to be held.
#include "platform/HoldProtocol.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <memory>

class QLocalServer;
class QLockFile;

namespace vigilorn {
class HeldChange;
}

namespace vigilorn {

// The part of the lock and socket names that tells displays apart: ":0" and ":0.0" are the
// same display, and the text is safe as a file name.
QString instanceKey(const QString& appName, const QString& platform, const QString& display);

class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Outcome {
        First,     // this is the running copy: the lock is held, requests are listened for
        Told,      // another copy runs and has been asked to show its main window
        NoAnswer,  // another copy holds the lock but did not answer
        Unguarded, // the lock could not be made at all (the folder is not writable, ...)
    };

    SingleInstance(const QString& folder, const QString& key, QObject* parent = nullptr);
    ~SingleInstance() override;

    Outcome claim(std::chrono::milliseconds answerWithin = std::chrono::seconds(5));
    // Why the last claim was not First, for the user.
    QString problem() const { return m_problem; }

    QString lockPath() const { return m_lockPath; }
    QString socketPath() const { return m_socketPath; }

signals:
    void showRequested();
    // A hook running as root holds a package change until it is answered. The change lives
    // as long as its connection; keep a QPointer.
    void holdRequested(vigilorn::HeldChange* change);
    // The hook tells what it did without asking the user.
    void hookNoted(const vigilorn::hold::Note& note);

private:
    bool listen();
    bool tell(std::chrono::milliseconds within);
    void serve();

    QString m_lockPath;
    QString m_socketPath;
    QString m_problem;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer* m_server = nullptr;
};

} // namespace vigilorn

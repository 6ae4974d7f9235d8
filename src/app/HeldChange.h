#pragma once
// A package change that the root side's hook holds, before dpkg starts, until the user has
// answered the reminder (or the hook stops waiting).
#include <QObject>
#include <QString>

namespace vigilorn {

class HeldChange : public QObject {
    Q_OBJECT
public:
    enum class Answer {
        Go,    // the install goes on, no point
        Point, // the hook makes a system point first, then the install goes on
        Auto,  // the wait ran out: the hook makes its automatic point
        Off,   // the user turned the hooks off: not waited for
    };

    using QObject::QObject;
    // The front end's process name, as the hook sent it.
    virtual QString frontEnd() const = 0;
    // Only the first answer counts.
    virtual void answer(Answer a) = 0;
    virtual bool answered() const = 0;

signals:
    // After Point: the number of the point the hook made, or that it could not make one.
    void pointMade(const QString& number);
    void pointFailed(const QString& why);
    // The hook went away (Ctrl-C in its terminal, or it ended) before it was answered.
    void gone();
};

} // namespace vigilorn

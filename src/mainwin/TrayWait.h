#pragma once
// Waits, for a limited time, for a notification area to appear: at log-in the program may
// start before the panel that hosts its icon.
#include <QDeadlineTimer>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>

namespace vigilorn {

class TrayWait : public QObject {
    Q_OBJECT
public:
    using Probe = std::function<bool()>;
    // Looks are never closer together than this: each one asks the display server and the bus.
    static constexpr std::chrono::milliseconds kShortestInterval{250};

    TrayWait(Probe probe, std::chrono::milliseconds limit, std::chrono::milliseconds interval,
             QObject* parent = nullptr);

    // The first look comes one interval after the start, the last at the limit.
    void start();
    void stop();
    bool isWaiting() const { return m_timer.isActive(); }
    std::chrono::milliseconds interval() const { return m_interval; }

signals:
    void appeared();
    void gaveUp();

private:
    void look();

    Probe m_probe;
    std::chrono::milliseconds m_limit;
    std::chrono::milliseconds m_interval;
    QTimer m_timer;
    QDeadlineTimer m_deadline;
};

} // namespace vigilorn

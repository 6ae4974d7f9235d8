#include "TrayWait.h"

#include <algorithm>

namespace vigilorn {

TrayWait::TrayWait(Probe probe, std::chrono::milliseconds limit, std::chrono::milliseconds interval,
                   QObject* parent)
    : QObject(parent), m_probe(std::move(probe)), m_limit(limit),
      m_interval(std::max(interval, kShortestInterval)) {
    // A coarse timer may fire up to 5% early, which would bring looks closer than the interval.
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &TrayWait::look);
}

void TrayWait::start() {
    m_deadline = QDeadlineTimer(m_limit);
    m_timer.start(m_interval);
}

void TrayWait::stop() {
    m_timer.stop();
}

void TrayWait::look() {
    if (m_probe && m_probe()) {
        m_timer.stop();
        emit appeared();
        return;
    }
    if (m_deadline.hasExpired()) {
        m_timer.stop();
        emit gaveUp();
        return;
    }
    // The last look falls on the limit rather than up to an interval after it.
    const auto left = std::chrono::milliseconds(m_deadline.remainingTime());
    if (left < m_interval)
        m_timer.start(std::max(left, std::chrono::milliseconds(1)));
}

} // namespace vigilorn

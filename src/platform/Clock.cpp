#include "platform/Clock.h"

#include <QDeadlineTimer>
#include <algorithm>
#include <limits>

// Declared a friend of ClockTimer, so not in an unnamed namespace.
class SystemClock final : public Clock {
  public:
    qint64 now() const override { return QDeadlineTimer::current().deadline(); }
    QDateTime wallTime() const override { return QDateTime::currentDateTime(); }
    qint64 wallTimeMs() const override { return QDateTime::currentMSecsSinceEpoch(); }

  protected:
    void arm(ClockTimer& timer) override {
        timer.timer_.setSingleShot(timer.singleShot_);
        timer.timer_.start(timer.interval_);
    }
    void disarm(ClockTimer& timer) override { timer.timer_.stop(); }
};

Clock& Clock::system() {
    static SystemClock clock;
    return clock;
}

void Clock::expire(ClockTimer& timer) {
    timer.fire();
}

ClockTimer::ClockTimer(Clock& clock, QObject* parent) : QObject(parent), clock_(clock) {
    connect(&timer_, &QTimer::timeout, this, &ClockTimer::fire);
}

ClockTimer::~ClockTimer() {
    stop();
}

void ClockTimer::start(int ms) {
    interval_ = ms;
    active_ = true;
    clock_.arm(*this);
}

void ClockTimer::startAt(const QDateTime& when) {
    const qint64 ms = clock_.wallTime().msecsTo(when);
    singleShot_ = true;
    // QTimer takes an int: a moment more than about 24 days away fires early, and the caller,
    // which checks the date when it fires, arms it again.
    constexpr qint64 longest = std::numeric_limits<int>::max();
    start(static_cast<int>(std::clamp<qint64>(ms, 0, longest)));
}

void ClockTimer::stop() {
    if (!active_)
        return;
    active_ = false;
    clock_.disarm(*this);
}

void ClockTimer::fire() {
    if (!active_)
        return;
    if (singleShot_) {
        active_ = false;
        clock_.disarm(*this);
    }
    Q_EMIT timeout();
}

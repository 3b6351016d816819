#include "Clock.h"

#include <QDeadlineTimer>

// Declared a friend of ClockTimer, so not in an unnamed namespace.
class SystemClock final : public Clock {
  public:
    qint64 now() const override { return QDeadlineTimer::current().deadline(); }

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

#pragma once

#include <QDateTime>
#include <QObject>
#include <QTimer>

class ClockTimer;

// Monotonic time, the wall clock, and the timers that run on them. The engine reads time only
// through a Clock, so tests can move time by hand instead of waiting for it.
class Clock {
  public:
    virtual ~Clock() = default;

    // Milliseconds since an arbitrary start; never goes back.
    virtual qint64 now() const = 0;

    // The local date and time, for what people read (log stamps, mail dates, task start times)
    // and for calendar deadlines such as midnight. It may jump; intervals use now().
    virtual QDateTime wallTime() const = 0;
    // The same moment in milliseconds since the epoch, without the local time: cheap, for those
    // that only need to know whether the second has changed.
    virtual qint64 wallTimeMs() const { return wallTime().toMSecsSinceEpoch(); }

    // The steady clock of the machine, whose timers are QTimers.
    static Clock& system();

  protected:
    friend class ClockTimer;
    // A timer's interval starts now; a second call restarts it.
    virtual void arm(ClockTimer& timer) = 0;
    virtual void disarm(ClockTimer& timer) = 0;
    // For a clock's own timers: the interval has passed.
    static void expire(ClockTimer& timer);
};

// A QTimer-like timer on a Clock: single-shot or repeating, fired from the event loop on the
// system clock, and when a test moves its clock past them.
class ClockTimer final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ClockTimer)

  public:
    explicit ClockTimer(Clock& clock = Clock::system(), QObject* parent = nullptr);
    ~ClockTimer() override;

    void setInterval(int ms) { interval_ = ms; }
    int interval() const { return interval_; }
    void setSingleShot(bool on) { singleShot_ = on; }
    bool isSingleShot() const { return singleShot_; }
    void setTimerType(Qt::TimerType type) { timer_.setTimerType(type); }

    void start(int ms);
    void start() { start(interval_); }
    // Single shot at a wall-clock moment (midnight, say); at once when it has passed.
    void startAt(const QDateTime& when);
    void stop();
    bool isActive() const { return active_; }

  Q_SIGNALS:
    void timeout();

  private:
    friend class Clock;
    friend class SystemClock;
    void fire();

    Clock& clock_;
    QTimer timer_; // used by the system clock only
    int interval_ = 0;
    bool singleShot_ = false;
    bool active_ = false;
};

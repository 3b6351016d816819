#pragma once

#include "platform/Clock.h"

#include <QDateTime>
#include <QList>
#include <algorithm>
#include <utility>

namespace testsupport {

// Time stands until advance() moves it, the wall clock with it; each timer that falls due on the
// way fires in order, at its own time, and a repeating one is armed again from there.
class ManualClock final : public Clock {
  public:
    explicit ManualClock(QDateTime wall = QDateTime(QDate(2026, 12, 6), QTime(12, 0)))
        : wallStart_(std::move(wall)) {}

    qint64 now() const override { return now_; }
    QDateTime wallTime() const override { return wallStart_.addMSecs(now_); }
    // The wall clock jumps (a clock set by hand); timers keep their monotonic due times.
    void setWallTime(const QDateTime& wall) { wallStart_ = wall.addMSecs(-now_); }

    void advance(qint64 ms) {
        const qint64 end = now_ + ms;
        for (;;) {
            auto next = std::min_element(due_.begin(), due_.end(),
                                         [](const Due& a, const Due& b) { return a.at < b.at; });
            if (next == due_.end() || next->at > end)
                break;
            now_ = next->at;
            ClockTimer* timer = next->timer;
            if (timer->isSingleShot())
                due_.erase(next);
            else
                next->at = now_ + std::max(timer->interval(), 1);
            expire(*timer);
        }
        now_ = end;
    }

    bool armed(const ClockTimer& timer) const {
        return std::any_of(due_.begin(), due_.end(),
                           [&](const Due& d) { return d.timer == &timer; });
    }

  protected:
    void arm(ClockTimer& timer) override {
        disarm(timer);
        due_.append({now_ + timer.interval(), &timer});
    }
    void disarm(ClockTimer& timer) override {
        due_.removeIf([&](const Due& d) { return d.timer == &timer; });
    }

  private:
    struct Due {
        qint64 at;
        ClockTimer* timer;
    };
    QDateTime wallStart_;
    qint64 now_ = 0;
    QList<Due> due_;
};

} // namespace testsupport

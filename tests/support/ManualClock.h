#pragma once

#include "Clock.h"

#include <QList>
#include <algorithm>

namespace testsupport {

// Time stands until advance() moves it; each timer that falls due on the way fires in order, at
// its own time, and a repeating one is armed again from there.
class ManualClock final : public Clock {
  public:
    qint64 now() const override { return now_; }

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
    qint64 now_ = 0;
    QList<Due> due_;
};

} // namespace testsupport

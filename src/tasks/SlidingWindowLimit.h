#pragma once

#include "platform/Clock.h"

#include <QHash>
#include <deque>
#include <optional>

// At most `count` events of one key (a task's position) within any `windowMs` of the clock: the
// restart limit and the alert limit count this way.
class SlidingWindowLimit final {
  public:
    struct Limit {
        int count = 0;
        qint64 windowMs = 0;
        bool on() const { return count > 0 && windowMs > 0; }
    };

    explicit SlidingWindowLimit(Clock& clock) : clock_(clock) {}

    // Whether key may have one more event now; events that left the window are forgotten. Always
    // true while the limit is off.
    bool hasRoom(int key, const Limit& limit);
    // Counts one event of key now.
    void record(int key) { times_[key].push_back(clock_.now()); }
    // hasRoom, and the event counted when there is room; nothing is counted while the limit is off.
    bool take(int key, const Limit& limit);
    // When key's oldest counted event leaves the window (on the clock); nothing when none is
    // counted.
    std::optional<qint64> roomAt(int key, const Limit& limit) const;

    void clear(int key) { times_.remove(key); }
    void clear() { times_.clear(); }

  private:
    Clock& clock_;
    QHash<int, std::deque<qint64>> times_;
};

#pragma once

#include "Clock.h"

#include <QHash>
#include <QString>
#include <deque>

// At most `count` automatic restarts of one task within `seconds`; off until configured. A task
// that fails again within the window is left down until the operator restarts it.
class RestartLimit final {
  public:
    explicit RestartLimit(Clock& clock = Clock::system()) : clock_(clock) {}

    // The value of RESTART_LIMIT=count,seconds; empty leaves the limit off. Returns the text of
    // the event that reports an unusable value (the limit then stays off), or an empty text.
    QString configure(const QString& value);

    bool active() const { return count_ > 0; }

    // count,seconds: two positive whole numbers, the window at most a year.
    static bool parse(const QString& value, int& count, qint64& windowMs);
    // A task's own restart_limit, used instead of the global one for task p.
    void setTaskLimit(int p, const QString& value);

    // Asked before each automatic restart of task p: true (and the restart counted) while the
    // task has restarts left in the window.
    bool allowRestart(int p);
    // A manual restart starts the count again.
    void clear(int p) { history_.remove(p); }

  private:
    int count_ = 0;
    qint64 windowMs_ = 0;
    struct Limit {
        int count;
        qint64 windowMs;
    };
    QHash<int, Limit> own_;                  // tasks with their own limit
    QHash<int, std::deque<qint64>> history_; // restart times of each task within the window
    Clock& clock_;
};

#pragma once

#include "platform/Clock.h"
#include "tasks/SlidingWindowLimit.h"

#include <QHash>
#include <QString>
#include <optional>

// At most `count` automatic restarts of one task within `seconds`; off until configured. A task
// that fails again within the window is left down until the operator restarts it.
class RestartLimit final {
  public:
    explicit RestartLimit(Clock& clock = Clock::system()) : window_(clock) {}

    // The value of RESTART_LIMIT=count,seconds; empty leaves the limit off. Returns the text of
    // the event that reports an unusable value (the limit then stays off), or an empty text.
    QString configure(const QString& value);

    bool active() const { return limit_.on(); }

    // count,seconds: two positive whole numbers, the window at most a year; nothing otherwise.
    static std::optional<SlidingWindowLimit::Limit> parse(const QString& value);
    // A task's own restart_limit, used instead of the global one for task p.
    void setTaskLimit(int p, const QString& value);

    // Asked before each automatic restart of task p: true (and the restart counted) while the
    // task has restarts left in the window.
    bool allowRestart(int p);
    // A manual restart starts the count again.
    void clear(int p) { window_.clear(p); }

  private:
    SlidingWindowLimit::Limit limit_;
    QHash<int, SlidingWindowLimit::Limit> own_; // tasks with their own limit
    SlidingWindowLimit window_;
};

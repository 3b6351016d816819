#include "tasks/SlidingWindowLimit.h"

bool SlidingWindowLimit::hasRoom(int key, const Limit& limit) {
    if (!limit.on())
        return true;
    std::deque<qint64>& times = times_[key];
    const qint64 now = clock_.now();
    while (!times.empty() && now - times.front() >= limit.windowMs)
        times.pop_front();
    return times.size() < static_cast<std::size_t>(limit.count);
}

bool SlidingWindowLimit::take(int key, const Limit& limit) {
    if (!limit.on())
        return true;
    if (!hasRoom(key, limit))
        return false;
    record(key);
    return true;
}

std::optional<qint64> SlidingWindowLimit::roomAt(int key, const Limit& limit) const {
    const auto times = times_.constFind(key);
    if (times == times_.cend() || times->empty())
        return std::nullopt;
    return times->front() + limit.windowMs;
}

#include "tasks/RestartLimit.h"

#include "base/NumberPair.h"
#include "log/SettingUnusable.h"

#include <climits>

std::optional<SlidingWindowLimit::Limit> RestartLimit::parse(const QString& value) {
    // A window longer than a year is no crash-loop guard; it also keeps the milliseconds in range.
    constexpr double maxSeconds = 366.0 * 24 * 3600;
    const auto pair = NumberPair::read(value, NumberPair::Numbers::Whole, INT_MAX, maxSeconds);
    if (!pair)
        return std::nullopt;
    return SlidingWindowLimit::Limit{static_cast<int>(pair->first),
                                     static_cast<qint64>(pair->second) * 1000};
}

QString RestartLimit::configure(const QString& value) {
    limit_ = {};
    window_.clear();
    if (value.trimmed().isEmpty())
        return {};
    const auto limit = parse(value);
    if (!limit)
        return settingUnusable(
            QStringLiteral("RESTART_LIMIT"), value,
            QStringLiteral("expected count,seconds (two positive whole numbers)"),
            QStringLiteral("no restart limit"));
    limit_ = *limit;
    return {};
}

void RestartLimit::setTaskLimit(int p, const QString& value) {
    if (const auto limit = parse(value))
        own_.insert(p, *limit);
}

bool RestartLimit::allowRestart(int p) {
    const auto own = own_.constFind(p);
    return window_.take(p, own != own_.cend() ? *own : limit_);
}

#include "RestartLimit.h"

#include <QStringList>

bool RestartLimit::parse(const QString& value, int& count, qint64& windowMs) {
    const QStringList parts = value.split(QLatin1Char(','));
    bool countOk = false;
    bool secondsOk = false;
    count = parts.size() == 2 ? parts[0].trimmed().toInt(&countOk) : 0;
    const qint64 seconds = parts.size() == 2 ? parts[1].trimmed().toLongLong(&secondsOk) : 0;
    // A window longer than a year is no crash-loop guard; it also keeps the milliseconds in range.
    constexpr qint64 maxSeconds = 366LL * 24 * 3600;
    windowMs = seconds * 1000;
    return countOk && secondsOk && count >= 1 && seconds >= 1 && seconds <= maxSeconds;
}

QString RestartLimit::configure(const QString& value) {
    count_ = 0;
    windowMs_ = 0;
    history_.clear();
    if (value.trimmed().isEmpty())
        return {};
    int count = 0;
    qint64 windowMs = 0;
    if (!parse(value, count, windowMs))
        return QStringLiteral("ERROR: RESTART_LIMIT=") + value +
               QStringLiteral(" ignored: expected count,seconds (two positive whole numbers); "
                              "no restart limit");
    count_ = count;
    windowMs_ = windowMs;
    return {};
}

void RestartLimit::setTaskLimit(int p, const QString& value) {
    int count = 0;
    qint64 windowMs = 0;
    if (parse(value, count, windowMs))
        own_.insert(p, Limit{count, windowMs});
}

bool RestartLimit::allowRestart(int p) {
    const auto own = own_.constFind(p);
    const int count = own != own_.cend() ? own->count : count_;
    const qint64 windowMs = own != own_.cend() ? own->windowMs : windowMs_;
    if (count <= 0)
        return true;
    std::deque<qint64>& times = history_[p];
    const qint64 t = clock_.now();
    while (!times.empty() && t - times.front() >= windowMs)
        times.pop_front();
    if (static_cast<int>(times.size()) >= count)
        return false;
    times.push_back(t);
    return true;
}

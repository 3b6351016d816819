#include "RestartLimit.h"

#include <QStringList>

QString RestartLimit::configure(const QString& value) {
    count_ = 0;
    windowMs_ = 0;
    history_.clear();
    if (value.trimmed().isEmpty())
        return {};
    const QStringList parts = value.split(QLatin1Char(','));
    bool countOk = false;
    bool secondsOk = false;
    const int count = parts.size() == 2 ? parts[0].trimmed().toInt(&countOk) : 0;
    const qint64 seconds = parts.size() == 2 ? parts[1].trimmed().toLongLong(&secondsOk) : 0;
    // A window longer than a year is no crash-loop guard; it also keeps the milliseconds in range.
    constexpr qint64 maxSeconds = 366LL * 24 * 3600;
    if (!countOk || !secondsOk || count < 1 || seconds < 1 || seconds > maxSeconds)
        return QStringLiteral("ERROR: RESTART_LIMIT=") + value +
               QStringLiteral(" ignored: expected count,seconds (two positive whole numbers); "
                              "no restart limit");
    count_ = count;
    windowMs_ = seconds * 1000;
    return {};
}

bool RestartLimit::allowRestart(int p) {
    if (!active())
        return true;
    std::deque<qint64>& times = history_[p];
    const qint64 t = clock_.now();
    while (!times.empty() && t - times.front() >= windowMs_)
        times.pop_front();
    if (static_cast<int>(times.size()) >= count_)
        return false;
    times.push_back(t);
    return true;
}

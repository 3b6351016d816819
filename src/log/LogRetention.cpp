#include "log/LogRetention.h"

#include "log/Log.h"
#include "log/SettingUnusable.h"

#include <QDir>

LogRetention::LogRetention(Log& log, QObject* parent)
    : QObject(parent), log_(log), timer_(log.clock()) {
    // A day-long wait needs no precision, and a coarse timer costs the idle monitor nothing.
    timer_.setTimerType(Qt::VeryCoarseTimer);
    connect(&timer_, &ClockTimer::timeout, this, [this] {
        deleteExpired();
        arm();
    });
}

void LogRetention::start(const QString& keepDays) {
    timer_.stop();
    keepDays_ = 0;
    if (keepDays.isEmpty())
        return;
    bool ok = false;
    const int days = keepDays.trimmed().toInt(&ok);
    if (!ok || days < 1) {
        log_.WriteLog(settingUnusable(QStringLiteral("LOG_KEEP_DAYS"), keepDays,
                                      QStringLiteral("not a positive number of days"),
                                      QStringLiteral("no log file is deleted")));
        return;
    }
    keepDays_ = days;
    deleteExpired();
    arm();
}

void LogRetention::arm() {
    // Re-armed from the clock on every run: a clock that jumped, or a timer that fired a little
    // early, only costs one extra harmless pass.
    const QDateTime now = log_.clock().wallTime();
    timer_.startAt(now.addMSecs(untilNextRun(now)));
}

void LogRetention::deleteExpired() {
    if (keepDays_ < 1)
        return;
    QDir dir(log_.directory());
    const QStringList names = dir.entryList(QDir::Files | QDir::System | QDir::Hidden);
    for (const QString& name :
         expiredFiles(names, log_.program().exeName, log_.clock().wallTime().date(), keepDays_))
        Log::removeRegularFile(dir.filePath(name));
}

QStringList LogRetention::expiredFiles(const QStringList& names, const QString& exeName,
                                       const QDate& today, int keepDays) {
    QStringList expired;
    for (const QString& name : names) {
        QDate date = Log::dailyFileDate(name, Log::eventLogBase(), exeName);
        if (!date.isValid())
            date = Log::dailyFileDate(name, Log::mailStageLogBase(), exeName);
        if (date.isValid() && date.daysTo(today) > keepDays)
            expired.append(name);
    }
    return expired;
}

qint64 LogRetention::untilNextRun(const QDateTime& when) {
    const QDateTime midnight(when.date().addDays(1), QTime(0, 0));
    return when.msecsTo(midnight) + 1000;
}

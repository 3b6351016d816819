#pragma once

#include "platform/Clock.h"

#include <QDateTime>
#include <QObject>
#include <QStringList>

class Log;

// LOG_KEEP_DAYS: deletes this monitor's daily files (event log and mail stage log, by the date in
// their name) that are more than the given number of days older than today, at start and after
// every local midnight of the log's clock. Files of other programs, names that are not exactly a
// daily file of this monitor, and anything but a regular file (a link, FIFO or directory of such a
// name) are never touched.
class LogRetention final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LogRetention)

  public:
    explicit LogRetention(Log& log, QObject* parent = nullptr);

    // The setting's value; empty leaves retention off. A value that is not a positive whole
    // number is logged, naming the key, and nothing is ever deleted.
    void start(const QString& keepDays);

    void deleteExpired();

    // The names among these that are daily files of the program exeName dated more than
    // keepDays days before today.
    static QStringList expiredFiles(const QStringList& names, const QString& exeName,
                                    const QDate& today, int keepDays);
    // Milliseconds from when until one second past the next local midnight.
    static qint64 untilNextRun(const QDateTime& when);

  private:
    void arm();

    Log& log_;
    int keepDays_ = 0;
    ClockTimer timer_;
};

#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>
#include <utility>

// RESTART_DELAY=min,max or a task's restart_delay: the first automatic restart waits min, each
// following one twice as long up to max.
struct RestartDelay {
    qint64 minMs = 0;
    qint64 maxMs = 0;
    // "min,max" in seconds, fractions allowed; returns the reason when it cannot be used.
    static QString parse(const QString& value, RestartDelay& delay);
};

// A task's own settings, from the fields after the fourth of its START line ("name=value").
struct TaskOptions {
    QString user;       // NAME or NAME:GROUP; empty: the monitor's own
    QString dir;        // working directory; empty: the monitor's
    QString envFile;    // KEY=value lines added to the environment
    int umask = -1;     // -1: the monitor's
    int stopSignal = 0; // 0: SIGTERM
    QString output;     // this task's output file; empty: the one in OUTPUT_DIR, if any
    std::optional<RestartDelay> restartDelay; // none: RESTART_DELAY's
    QString restartLimit;                     // count,seconds as written; empty: RESTART_LIMIT's
    // check= and check_* as written, in order: the health checks read and judge them.
    QList<std::pair<QString, QString>> checks;

    // Reads the option fields; returns the reason when one cannot be used ("umask=99: ..."),
    // else an empty text.
    static QString parse(const QStringList& fields, TaskOptions& options);
    // "user=www-data dir=/srv/web ..." for people: what the task runs with.
    QString describe() const;
};

#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>
#include <optional>
#include <sys/types.h>
#include <vector>

// A task's health check as its options give it: check=tcp:[HOST:]PORT,
// check=http://HOST[:PORT]/path or check=exec:COMMAND, with check_interval, check_timeout,
// check_grace (seconds, fractions allowed) and check_retries.
struct HealthCheckSpec {
    enum class Kind { Tcp, Http, Exec };

    Kind kind = Kind::Tcp;
    QString text;        // the check= value as given, for messages
    QString host;        // tcp, http
    quint16 port = 0;    // tcp, http
    QByteArray target;   // http: the path and query as sent in the request line
    QStringList command; // exec: the program, found on PATH, and its arguments
    qint64 intervalMs = 10'000;
    qint64 timeoutMs = 5'000;
    qint64 graceMs = 30'000;
    int retries = 3;

    // Whom a probe program runs as: the task's user, when the task runs as one.
    struct RunAs {
        uid_t uid = 0;
        gid_t gid = 0;
        std::vector<gid_t> groups;
    };
    std::optional<RunAs> runAs;

    // check and every check_* key.
    static bool isOption(const QString& key);

    // The check of a task's options (name -> value; other options are ignored). Nothing, with
    // *error empty, when no check option is given; nothing, with the reason in *error, when one is
    // unusable (the task must not start then).
    static std::optional<HealthCheckSpec> parse(const QHash<QString, QString>& options,
                                                QString* error);
};

// "5 s", "0.25 s": a duration as the event texts give it.
QString secondsText(qint64 ms);

#pragma once

#include "checks/HealthCheckSpec.h"

#include <QObject>
#include <QString>

// One probe of a health check: a TCP connection, an HTTP request's status line, or a probe
// program's exit status. It runs on the event loop (or as a child process) and never blocks it.
// The object deletes itself: after finished(), or once nothing of it is left after cancel().
class HealthProbe : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HealthProbe)

  public:
    // A probe of the definition, not yet begun. Connect to finished(), then call begin().
    static HealthProbe* create(const HealthCheckSpec& definition);

    // Starts the probe; finished() may come from within this call.
    virtual void begin() = 0;
    // Ends the probe without a result (its time is up, or the check stops): connections close,
    // a probe program is killed with its whole session and reaped without blocking.
    virtual void cancel() = 0;

  Q_SIGNALS:
    // Empty: healthy. Otherwise a short reason ("connection refused", "HTTP 503",
    // "exit status 2").
    void finished(const QString& failure);

  protected:
    HealthProbe() = default;
    // Reports once and goes.
    void finish(const QString& failure);
};

#pragma once

#include <QString>

// What a task's health check has found so far, for status, metrics and the alert.
struct HealthState {
    bool configured = false;   // the task has a check
    bool unhealthy = false;    // check_retries checks in a row failed; until one passes or a launch
    quint32 failuresInRow = 0; // since the last check that passed or the last launch
    quint64 failuresTotal = 0; // every failed check since the monitor started
    QString lastReason;        // why the last failed check failed
};

#pragma once

#include <QJsonObject>
#include <QString>

struct TaskRecord;

// What the control says of a task: its state text and its status object.
namespace TaskReport {

// "up", "down", "restarting in N s", "held by the restart limit", "stopped" or "unhealthy".
QString stateText(const TaskRecord& task, qint64 nowMs);

// The status object of the protocol (docs/CONTROL.md); nowMs is the wall clock's Unix time.
QJsonObject status(const TaskRecord& task, qint64 nowMs);

// The last exit as the protocol gives it: text, code (or null), signal (or null), core_dumped;
// null before any exit.
QJsonValue lastExit(const TaskRecord& task);

// The health check's findings: healthy, failures_in_row, failures_total, last_reason (or null);
// null for a task without a check.
QJsonValue health(const TaskRecord& task);

} // namespace TaskReport

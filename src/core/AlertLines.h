#pragma once

#include <QStringList>

struct TaskRecord;

// The lines a failure alert carries after its first five, each appended with CR LF: why the
// task's last process ended, in the words of the log's EXIT STATUS event ("Exit status: killed
// by signal 9 (SIGKILL)"), then the failed health check that closed it, if one did, then the
// task's last output lines (20 at most, from the last 4 KiB) when its output is captured.
QStringList failureAlertLines(const TaskRecord& task);

QStringList exitAlertLines(const TaskRecord& task);
QStringList healthAlertLines(const TaskRecord& task);
QStringList outputAlertLines(const TaskRecord& task);

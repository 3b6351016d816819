#pragma once

#include <QStringList>

struct TaskRecord;

// The line the failure alert carries after its first five: why the task's last process
// ended, in the words of the log's EXIT STATUS event ("Exit status: killed by signal 9
// (SIGKILL)"). The alert appends each with CR LF.
QStringList exitAlertLines(const TaskRecord& task);

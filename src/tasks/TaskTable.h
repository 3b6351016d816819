#pragma once

#include "checks/HealthState.h"
#include "platform/ProcessStatus.h"
#include "tasks/TaskOptions.h"

#include <QString>
#include <optional>
#include <vector>

struct TaskRecord {
    qint32 TaskId = 0;
    qint32 ProcessId = 0;
    QString TaskName;
    QString PathAndFile;
    bool IsUp = false;
    bool AutoRestart = false;
    bool restartLimited = false; // RESTART_LIMIT holds the task down
    quint64 failureCount = 0;
    quint64 restartCount = 0;
    qint64 processStartedMs = 0;           // Unix time of the current process's launch
    std::optional<ProcessStatus> lastExit; // how its last process ended, once one has
    bool stopped = false;                  // stopped by the operator: down, and no failure
    QString stoppedBy;                     // who stopped it, as the control logged them
    qint32 closingProcessId = 0;           // a stopped task's process until it has been seen to end
    bool startWhenClosed = false;          // start again once closingProcessId has ended (restart)
    TaskOptions options;                   // the fields after the fourth of its START line
    qint64 restartDueMs = 0;     // Unix time at which a waiting restart is due; 0 when none waits
    qint64 launchedAt = 0;       // on the monitor's Clock: the current process's launch
    qint64 nextDelayMs = 0;      // the restart delay's next step; 0: its first
    bool launchRetrying = false; // a restart could not launch and is being tried again
    QString outputPath; // the file its standard output and error go to; empty when not captured
    HealthState health; // its health check's findings (check=), if it has one
};

// The task table: position p holds the task whose TaskId is p; position 0 is a blank record
// that never holds a task. Records are only ever appended.
class TaskTable final {
  public:
    static constexpr qint16 maxTasks = 32767;

    TaskTable() { reset(); }

    void reset(); // only the blank position 0 remains; identifiers start again at 1
    int upperBound() const { return static_cast<int>(Tasks.size()) - 1; }
    TaskRecord& operator[](int p) { return Tasks.at(static_cast<size_t>(p)); }
    const TaskRecord& operator[](int p) const { return Tasks.at(static_cast<size_t>(p)); }

    // Adds a record at position TaskCount + 1 and returns it; throws RuntimeError("Overflow")
    // when the table is full.
    TaskRecord& add();

    qint16 TaskCount = 0;

  private:
    std::vector<TaskRecord> Tasks;
};

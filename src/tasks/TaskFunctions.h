#pragma once

#include "Clock.h"
#include "HealthCheck.h"
#include "LaunchSpec.h"
#include "RestartLimit.h"
#include "TaskList.h"
#include "TaskTable.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <functional>
#include <map>
#include <memory>
#include <optional>

class Log;
class ProcessControl;
class SignalTarget;

// Launching, failure detection and restart of the tasks.
class TaskFunctions final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TaskFunctions)

  public:
    TaskFunctions(TaskTable& tasks, TaskList& upList, TaskList& downList, Log& log,
                  ProcessControl& processes, SignalTarget& signals, Clock& clock = Clock::system(),
                  QObject* parent = nullptr);

    // Launches a configured program for the first time; on success it gets the next identifier.
    // name and windowMode may be rewritten (empty name -> FileNameOf(command); mode normalised).
    // optionFields: the fields after the fourth of its START line (see TaskOptions); one that
    // cannot be used keeps the task from starting, with the reason.
    void StartTask(QString& name, const QString& command, qint16& windowMode, bool autoRestart,
                   const QStringList& optionFields = {});
    static QString FileNameOf(const QString& command);

    // A configured task that the previous monitor left: its process, proven the same and already
    // watched, or pid 0 when that process ended while no monitor ran.
    struct Adopted {
        qint32 pid = 0;
        qint64 startedMs = 0; // Unix time of the process's start
    };
    // Asked by StartTask before launching; nothing means launch as usual.
    std::function<std::optional<Adopted>(const QString& name, const QString& command)> adoption;

    ProcessStatus IsTaskProcessAlive(qint32 processId);
    void sweep(); // the supervision sweep: one pass over the tasks that are up
    // The end of one process, as the sweep would handle it, without walking the table.
    void handleEnd(qint32 processId);
    void HandleTaskFailure(int p);
    // The operator's Restart: it also lifts the task's restart limit and starts its count again.
    // A task whose stopped process is still closing starts once that process has ended.
    void RestartTask(int p);
    // The operator's stop: the task is asked to close and waits in the Down list, with the status
    // port closed. It is no failure: no TASK FAILURE line, no alert, no automatic restart. who
    // names whoever asked, for the task's record.
    void StopTask(int p, const QString& who);
    void SignalFailure();
    void SignalAllUp();

    // RESTART_LIMIT=count,seconds; an unusable value is logged and leaves the limit off.
    void configureRestartLimit(const QString& value);
    RestartLimit& restartLimit() { return restartLimit_; }
    // RESTART_DELAY=min,max; an unusable value is logged and leaves restarts immediate.
    void configureRestartDelay(const QString& value);
    // OUTPUT_DIR, OUTPUT_MAX_BYTES and OUTPUT_BACKUPS, before the first task starts; an unusable
    // value is logged with its key and leaves that setting off (or at its default).
    void configureOutput(const QString& dir, const QString& maxBytes, const QString& backups);
    // Rotates the output file of every task that is up (the minute's check).
    void rotateOutputs();
    bool capturing() const { return rotationTimer_.isActive(); }
    // "restarting in N s" while a restart of task p waits, else empty.
    QString restartWaitText(int p) const;
    static QString restartWaitText(const TaskRecord& task, qint64 nowMs);

    // Configured tasks that could not be started. They have no record and cannot come back, so
    // while there is any the status port stays closed: "SERVICES UP" would report a failure.
    int startFailures() const { return startFailures_; }
    // A restart found every task up; the all-clear waits for a sweep a moment later.
    bool allClearPending() const { return allUpPending_; }

    // True while the tick can find something the process descriptors cannot: a task that only a
    // poll can watch (see ProcessControl::needsPolling), or an all-clear that waits for a sweep.
    bool needsTick() const;

    // Task p's health check, armed now if the task is up and at each later launch.
    void setHealthCheck(int p, const HealthCheckSpec& spec);
    // The check a task's options give it, if any; throws RuntimeError when it cannot be used.
    static std::optional<HealthCheckSpec> healthCheckOf(const TaskOptions& options);
    const HealthCheck* healthCheck(int p) const;
    // STOP_TIMEOUT in milliseconds (0: not given): how long a task whose check failed may take to
    // close before it is killed; without it, the check's own timeout.
    void setStopTimeout(qint64 ms) { stopTimeoutMs_ = ms; }

  Q_SIGNALS:
    // A task was launched or stopped: the tick may be needed again (to see a launch through its
    // first interval, or a stopped process end). Emitted before the call returns.
    void launched();
    // A launch is about to happen (not an adoption): emitted before the process exists.
    void aboutToLaunch(int p, const QString& name, const QString& command);
    // A task's process was found ended (emitted once the task is marked down).
    void taskEnded();

  private:
    // The launch of task p's command with its options.
    LaunchSpec launchSpec(const QString& command, const TaskOptions& options, int showValue) const;
    // The next automatic restart of task p, after its restart delay when it has one.
    void scheduleRestart(int p);
    void restartAfter(int p, qint64 waitMs);
    void restartDue();
    void restart(int p, bool automatic = true);
    void sweepClosing(); // the stopped tasks' processes that have ended since the last sweep
    // The output file of a task, rotated and opened for its launch; -1 when it has none.
    int openOutput(TaskRecord& task);
    QString outputPathFor(const QString& name, int id, const TaskOptions& options);
    bool everyTaskUp();
    void armHealth(int p);
    void disarmHealth(int p);
    void healthFailed(int p, const QString& reason);
    bool anyUnhealthy() const;
    void confirmAllUp();

    TaskTable& tasks_;
    TaskList& up_;
    TaskList& down_;
    Log& log_;
    ProcessControl& processes_;
    SignalTarget& signals_;
    Clock& clock_;
    RestartLimit restartLimit_;
    std::optional<RestartDelay> restartDelay_;
    ClockTimer restartTimer_;            // the earliest waiting restart
    std::multimap<qint64, int> waiting_; // due time on clock_ -> task; stale ones skipped
    QHash<qint32, int> taskOfProcess_;   // the current process of each task -> the task
    int firstDownHint_ = 1;              // where the all-up check last found a task down
    QHash<int, qint64> dueOf_;           // each waiting task's due time on clock_
    QString outputDir_;                  // empty: tasks write where the monitor writes
    qint64 outputMaxBytes_ = 10 * 1024 * 1024;
    int outputBackups_ = 5;
    QSet<QString> outputPaths_;    // taken by a task, so that two never share one
    QSet<QString> rotationFailed_; // said once until a rotation succeeds again
    ClockTimer rotationTimer_;     // runs only while some output is captured
    int startFailures_ = 0;
    bool allUpPending_ = false; // a restart found every task up; a later sweep confirms it
    qint64 restartedAt_ = 0;    // on clock_
    // Health checks by task position, and the kill that follows a failed check's close request.
    struct Health {
        std::unique_ptr<HealthCheck> check;
        std::unique_ptr<ClockTimer> kill;
    };
    std::map<int, Health> health_;
    qint64 stopTimeoutMs_ = 0;
};

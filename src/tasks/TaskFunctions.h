#pragma once

#include "checks/HealthCheck.h"
#include "platform/Clock.h"
#include "platform/LaunchSpec.h"
#include "tasks/RestartLimit.h"
#include "tasks/TaskList.h"
#include "tasks/TaskTable.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>
#include <optional>

class Log;
class ProcessControl;

// Launching, failure detection and restart of the tasks. What happens is emitted; the layer above
// wires it to the tray, the status port and the alert.
class TaskFunctions final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TaskFunctions)

  public:
    TaskFunctions(TaskTable& tasks, TaskList& upList, TaskList& downList, Log& log,
                  ProcessControl& processes, Clock& clock = Clock::system(),
                  QObject* parent = nullptr);

    // Shutdown has begun: no more launches or restarts, no failures handled; a sweep going on in
    // slices stops.
    void beginShutdown();
    bool closing() const { return closing_; }

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
    // The supervision sweep: one pass over the tasks that are up, every ended one handled before
    // it returns (whoever answers for the tasks next relies on that). A pass going on in slices
    // is finished by it.
    void sweep();
    // The same pass for the tick: once about sliceMs have gone on failures and restarts (each
    // restart launches a process), it stops and goes on from the next task in a zero-time timer,
    // so that input and repaints run between the slices of a burst. At least one failure is
    // handled per slice. While a pass is under way, a second call leaves it to its slices.
    void sweepInSlices();
    bool sweepPending() const { return sweepNext_ != 0; }
    static constexpr qint64 sliceMs = 10;
    void setSliceMs(qint64 ms) { sliceMs_ = ms; }
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
    // Every task is up: emits allUp, with the port allowed to open when every configured task
    // started and none is unhealthy.
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
    // poll can watch (see ProcessControl::needsPolling), an all-clear that waits for a sweep, or
    // a pass of the sweep still going on in slices.
    bool needsTick() const;

    // Task p's health check, armed now if the task is up and at each later launch.
    void setHealthCheck(int p, const HealthCheckSpec& definition);
    // The check a task's options give it, if any; throws RuntimeError when it cannot be used.
    static std::optional<HealthCheckSpec> healthCheckOf(const TaskOptions& options);
    const HealthCheck* healthCheck(int p) const;
    // STOP_TIMEOUT in milliseconds (0: not given): how long a task whose check failed may take to
    // close before it is killed; without it, the check's own timeout.
    void setStopTimeout(qint64 ms) { stopTimeoutMs_ = ms; }

  Q_SIGNALS:
    // Task p failed: marked down, its restart decided (restartLimited says whether it stays down).
    // The tray flashes, the status port closes and the alert goes out.
    void taskFailed(int p);
    // Task p failed its health check: down for the status port from now on; its process is being
    // closed, and its end comes as taskFailed.
    void taskUnhealthy(int p);
    // The operator stopped task p: not every task is up, yet nothing failed.
    void taskStopped(int p);
    // Every task is up again; portMayOpen is false while a configured task never started or one is
    // unhealthy.
    void allUp(bool portMayOpen);
    // A task was launched or stopped: the tick may be needed again (to see a launch through its
    // first interval, or a stopped process end). Emitted before the call returns.
    void launched();
    // A launch is about to happen (not an adoption): emitted before the process exists.
    void aboutToLaunch(int p, const QString& name, const QString& command);
    // A task's process was found ended (emitted once the task is marked down).
    void taskEnded(int p);

  private:
    // Launches a command with a task's options, its output going to the task's output file.
    qint32 launchTask(const QString& command, const TaskOptions& options, int showValue,
                      TaskRecord& task);
    // The next automatic restart of task p, after its restart delay when it has one.
    void scheduleRestart(int p);
    void restartAfter(int p, qint64 waitMs);
    void restartDue();
    void restart(int p, bool automatic = true);
    void sweepClosing(); // the stopped tasks' processes that have ended since the last sweep
    // The pass from task first on; sliced: it may stop after sliceMs_ and go on later.
    void sweepFrom(int first, bool sliced);
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
    bool closing_ = false;
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
    int sweepNext_ = 0;         // where a pass in slices goes on; 0: none under way
    qint64 sliceMs_ = sliceMs;
    QTimer sliceTimer_; // zero-time: the next slice of the pass
    // Health checks by task position, and the kill that follows a failed check's close request.
    struct Health {
        std::unique_ptr<HealthCheck> check;
        std::unique_ptr<ClockTimer> kill;
    };
    std::map<int, Health> health_;
    qint64 stopTimeoutMs_ = 0;
};

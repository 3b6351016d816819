#pragma once

#include "Clock.h"
#include "LaunchSpec.h"
#include "RestartLimit.h"
#include "TaskList.h"
#include "TaskTable.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <map>
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

    ProcessStatus IsTaskProcessAlive(qint32 processId);
    void sweep(); // the supervision sweep: one pass over the tasks that are up
    // The end of one process, as the sweep would handle it, without walking the table.
    void handleEnd(qint32 processId);
    void HandleTaskFailure(int p);
    // The operator's Restart: it also lifts the task's restart limit and starts its count again.
    void RestartTask(int p);
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

    // Configured tasks that could not be started. They have no record and cannot come back, so
    // while there is any the status port stays closed: "SERVICES UP" would report a failure.
    int startFailures() const { return startFailures_; }

    // True while the tick can find something the process descriptors cannot: a task that only a
    // poll can watch (see ProcessControl::needsPolling), or an all-clear that waits for a sweep.
    bool needsTick() const;

    // How long a restarted process must have run before the all-clear is given.
    static constexpr qint64 settleMs = 100;

  Q_SIGNALS:
    // A task was launched: the tick may be needed again. Emitted before the launching call returns.
    void launched();

  private:
    // The launch of task p's command with its options.
    LaunchSpec launchSpec(const QString& command, const TaskOptions& options, int showValue) const;
    // The next automatic restart of task p, after its restart delay when it has one.
    void scheduleRestart(int p);
    void restartAfter(int p, qint64 waitMs);
    void restartDue();
    void restart(int p, bool automatic = true);
    // The output file of a task, rotated and opened for its launch; -1 when it has none.
    int openOutput(TaskRecord& task);
    QString outputPathFor(const QString& name, int id, const TaskOptions& options);
    bool everyTaskUp();
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
};

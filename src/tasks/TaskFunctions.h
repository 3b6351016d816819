#pragma once

#include "TaskList.h"
#include "TaskTable.h"

#include <QElapsedTimer>
#include <QObject>

#include <functional>

class Log;
class ProcessControl;
class SignalTarget;

// Launching, failure detection and restart of the tasks.
class TaskFunctions final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TaskFunctions)

public:
    TaskFunctions(TaskTable& tasks, TaskList& upList, TaskList& downList, Log& log,
                  ProcessControl& processes, SignalTarget& signals, QObject* parent = nullptr);

    // Launches a configured program for the first time; on success it gets the next identifier.
    // name and windowMode may be rewritten (empty name -> FileNameOf(command); mode normalised).
    void StartTask(QString& name, const QString& command, qint16& windowMode, bool autoRestart);
    static QString FileNameOf(const QString& command);

    qint32 IsTaskProcessAlive(qint32 processId);
    void sweep(); // the supervision sweep: one pass over the tasks that are up
    void HandleTaskFailure(int p);
    void RestartTask(int p);
    void SignalFailure();
    void SignalAllUp();

    // Shutdown has begun: no more restarts.
    std::function<bool()> closeApp = [] { return false; };
    // The failure alert of task p (the mail side plugs in here); does nothing while unset.
    std::function<void(int)> sendFailureAlert;

    // How long a restarted process must have run before the all-clear is given.
    static constexpr qint64 settleMs = 100;

private:
    bool everyTaskUp();
    void confirmAllUp();

    TaskTable& tasks_;
    TaskList& up_;
    TaskList& down_;
    Log& log_;
    ProcessControl& processes_;
    SignalTarget& signals_;
    bool allUpPending_ = false; // a restart found every task up; a later sweep confirms it
    QElapsedTimer restartedAt_;
};

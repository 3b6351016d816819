#include "TaskFunctions.h"

#include "Log.h"
#include "ProcessControl.h"
#include "SignalTarget.h"

TaskFunctions::TaskFunctions(TaskTable& tasks, TaskList& upList, TaskList& downList, Log& log,
                             ProcessControl& processes, SignalTarget& signals, QObject* parent)
    : QObject(parent), tasks_(tasks), up_(upList), down_(downList), log_(log),
      processes_(processes), signals_(signals) {}

void TaskFunctions::StartTask(QString&, const QString&, qint16&, bool) {}
QString TaskFunctions::FileNameOf(const QString& command) { return command; }
qint32 TaskFunctions::IsTaskProcessAlive(qint32) { return 0; }
void TaskFunctions::sweep() {}
void TaskFunctions::HandleTaskFailure(int) {}
void TaskFunctions::RestartTask(int) {}

void TaskFunctions::SignalFailure() {
    signals_.NotifyON();
    signals_.closeStatusListener();
}

void TaskFunctions::SignalAllUp() {
    signals_.NotifyOFF();
    signals_.openStatusListener();
}

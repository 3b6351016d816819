#include "control/TaskReport.h"

#include "tasks/TaskFunctions.h"
#include "tasks/TaskTable.h"

#include <QJsonValue>
#include <algorithm>
#include <sys/wait.h>

QString TaskReport::stateText(const TaskRecord& task, qint64 nowMs) {
    if (task.IsUp)
        return task.health.unhealthy ? QStringLiteral("unhealthy") : QStringLiteral("up");
    if (task.stopped)
        return QStringLiteral("stopped");
    if (task.restartLimited)
        return QStringLiteral("held by the restart limit");
    if (const QString waiting = TaskFunctions::restartWaitText(task, nowMs); !waiting.isEmpty())
        return waiting;
    return QStringLiteral("down");
}

QJsonValue TaskReport::lastExit(const TaskRecord& task) {
    if (!task.lastExit)
        return QJsonValue::Null;
    const ProcessStatus& how = *task.lastExit;
    QJsonObject exit{{QStringLiteral("text"), how.exitText()}};
    exit.insert(QStringLiteral("code"),
                how.exitCode() >= 0 ? QJsonValue(how.exitCode()) : QJsonValue::Null);
    exit.insert(QStringLiteral("signal"),
                how.signal() > 0 ? QJsonValue(how.signal()) : QJsonValue::Null);
    exit.insert(QStringLiteral("core_dumped"),
                how.known() && WIFSIGNALED(how.waitStatus()) && WCOREDUMP(how.waitStatus()));
    return exit;
}

QJsonValue TaskReport::health(const TaskRecord& task) {
    const HealthState& h = task.health;
    if (!h.configured)
        return QJsonValue::Null;
    return QJsonObject{
        {QStringLiteral("healthy"), !h.unhealthy},
        {QStringLiteral("failures_in_row"), static_cast<qint64>(h.failuresInRow)},
        {QStringLiteral("failures_total"), static_cast<qint64>(h.failuresTotal)},
        {QStringLiteral("last_reason"),
         h.lastReason.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(h.lastReason)},
    };
}

QJsonObject TaskReport::status(const TaskRecord& task, qint64 nowMs) {
    const auto orNull = [](bool has, qint64 value) {
        return has ? QJsonValue(value) : QJsonValue::Null;
    };
    return QJsonObject{
        {QStringLiteral("id"), task.TaskId},
        {QStringLiteral("name"), task.TaskName},
        {QStringLiteral("state"), stateText(task, nowMs)},
        {QStringLiteral("up"), task.IsUp},
        {QStringLiteral("pid"), orNull(task.IsUp, task.ProcessId)},
        {QStringLiteral("uptime_s"),
         orNull(task.IsUp, std::max<qint64>(0, (nowMs - task.processStartedMs) / 1000))},
        {QStringLiteral("failures"), static_cast<qint64>(task.failureCount)},
        {QStringLiteral("restarts"), static_cast<qint64>(task.restartCount)},
        {QStringLiteral("auto_restart"), task.AutoRestart},
        {QStringLiteral("last_exit"), lastExit(task)},
        {QStringLiteral("stopped_by"),
         task.stopped ? QJsonValue(task.stoppedBy) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("command"), task.PathAndFile},
        {QStringLiteral("options"), task.options.describe()},
        {QStringLiteral("restart_due_ms"), orNull(task.restartDueMs != 0, task.restartDueMs)},
        {QStringLiteral("health"), health(task)},
    };
}

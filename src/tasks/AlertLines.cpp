#include "AlertLines.h"

#include "TaskTable.h"

QStringList failureAlertLines(const TaskRecord& task) {
    return exitAlertLines(task) + healthAlertLines(task);
}

QStringList exitAlertLines(const TaskRecord& task) {
    return {QStringLiteral("Exit status: ") +
            task.lastExit.value_or(ProcessStatus::endedUnknown()).exitText()};
}

QStringList healthAlertLines(const TaskRecord& task) {
    if (!task.health.unhealthy)
        return {};
    return {QStringLiteral("Health check failed: ") + task.health.lastReason};
}

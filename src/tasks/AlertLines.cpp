#include "AlertLines.h"

#include "TaskTable.h"

QStringList exitAlertLines(const TaskRecord& task) {
    return {QStringLiteral("Exit status: ") +
            task.lastExit.value_or(ProcessStatus::endedUnknown()).exitText()};
}

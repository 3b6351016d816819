#include "tasks/TaskTable.h"

#include "base/RuntimeError.h"

void TaskTable::reset() {
    Tasks.assign(1, TaskRecord{});
    TaskCount = 0;
}

TaskRecord& TaskTable::add() {
    if (TaskCount == maxTasks)
        throw RuntimeError(QStringLiteral("Overflow"));
    ++TaskCount;
    Tasks.resize(static_cast<size_t>(TaskCount) + 1);
    return Tasks.back();
}

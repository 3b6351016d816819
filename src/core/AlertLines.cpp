#include "core/AlertLines.h"

#include "platform/OutputFile.h"
#include "tasks/TaskTable.h"

QStringList failureAlertLines(const TaskRecord& task) {
    return exitAlertLines(task) + healthAlertLines(task) + outputAlertLines(task);
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

QStringList outputAlertLines(const TaskRecord& task) {
    if (task.outputPath.isEmpty())
        return {};
    const QStringList tail = lastOutputLines(task.outputPath);
    if (tail.isEmpty())
        return {};
    QStringList lines{QStringLiteral("Last output (") + task.outputPath + QStringLiteral("):")};
    for (QString line : tail) {
        // A task's bytes go into a mail: control characters (a bare CR, escapes) become blanks.
        for (QChar& c : line) {
            if ((c.unicode() < 0x20 && c != QLatin1Char('\t')) || c.unicode() == 0x7f)
                c = QLatin1Char(' ');
        }
        lines << QStringLiteral("  ") + line;
    }
    return lines;
}

#include "metrics/Exposition.h"

#include "tasks/TaskTable.h"

#include <utility>
#include <vector>

namespace {

void family(QByteArray& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void sample(QByteArray& out, const char* name, const QByteArray& labels, const QByteArray& value) {
    out += name;
    if (!labels.isEmpty()) {
        out += '{';
        out += labels;
        out += '}';
    }
    out += ' ';
    out += value;
    out += '\n';
}

QByteArray seconds(qint64 ms) {
    return QByteArray::number(static_cast<double>(ms) / 1000.0, 'f', 3);
}

} // namespace

QByteArray Exposition::escapeLabelValue(const QString& value) {
    const QByteArray utf8 = value.toUtf8();
    QByteArray escaped;
    escaped.reserve(utf8.size());
    for (const char c : utf8) {
        if (c == '\\')
            escaped += "\\\\";
        else if (c == '"')
            escaped += "\\\"";
        else if (c == '\n')
            escaped += "\\n";
        else
            escaped += c;
    }
    return escaped;
}

QByteArray Exposition::render(const TaskTable& tasks, const MonitorFigures& figures) {
    const int bound = tasks.upperBound();
    std::vector<QByteArray> labels;
    labels.reserve(static_cast<size_t>(bound));
    for (int p = 1; p <= bound; ++p) {
        labels.push_back("task=\"" + escapeLabelValue(tasks[p].TaskName) + "\",id=\"" +
                         QByteArray::number(tasks[p].TaskId) + '"');
    }
    QByteArray out;
    out.reserve(1024 + static_cast<qsizetype>(bound) * 6 * 64);
    const auto perTask = [&](const char* name, const char* type, const char* help,
                             const auto& value) {
        family(out, name, type, help);
        for (int p = 1; p <= bound; ++p)
            sample(out, name, labels[static_cast<size_t>(p - 1)], value(tasks[p]));
    };
    perTask("prowlix_task_up", "gauge", "1 while the task is up, 0 while it is down.",
            [](const TaskRecord& t) { return QByteArray(t.IsUp ? "1" : "0"); });
    perTask("prowlix_task_failures_total", "counter",
            "Failures of the task seen since the monitor started.",
            [](const TaskRecord& t) { return QByteArray::number(t.failureCount); });
    perTask("prowlix_task_restarts_total", "counter",
            "Successful restarts of the task since the monitor started, automatic or manual.",
            [](const TaskRecord& t) { return QByteArray::number(t.restartCount); });
    perTask("prowlix_task_process_start_time_seconds", "gauge",
            "Unix time at which the task's current process was started.",
            [](const TaskRecord& t) { return seconds(t.processStartedMs); });
    perTask("prowlix_task_restart_due_time_seconds", "gauge",
            "Unix time at which a waiting restart of the task is due (its restart delay); 0 when "
            "none waits.",
            [](const TaskRecord& t) { return seconds(t.restartDueMs); });
    perTask("prowlix_task_restart_limited", "gauge",
            "1 while the restart limit holds the task down.",
            [](const TaskRecord& t) { return QByteArray(t.restartLimited ? "1" : "0"); });
    // Only the tasks whose last process ended in that way have a sample: a code of 0 and a
    // signal of 0 would read as facts.
    const auto lastExit = [&](const char* name, const char* help, auto value) {
        family(out, name, "gauge", help);
        for (int p = 1; p <= bound; ++p) {
            const auto& exit = tasks[p].lastExit;
            if (exit && exit->known() && value(*exit) >= 0)
                sample(out, name, labels[static_cast<size_t>(p - 1)],
                       QByteArray::number(value(*exit)));
        }
    };
    lastExit("prowlix_task_last_exit_code",
             "Exit status of the task's last process that exited by itself.",
             [](const ProcessStatus& e) { return e.exitCode(); });
    lastExit("prowlix_task_last_exit_signal",
             "Signal that ended the task's last process, for one that a signal ended.",
             [](const ProcessStatus& e) { return e.signal() > 0 ? e.signal() : -1; });
    // Only tasks with a health check have these; a family without samples is left out.
    const auto perChecked = [&](const char* name, const char* type, const char* help,
                                const auto& value) {
        bool first = true;
        for (int p = 1; p <= bound; ++p) {
            if (!tasks[p].health.configured)
                continue;
            if (std::exchange(first, false))
                family(out, name, type, help);
            sample(out, name, labels[static_cast<size_t>(p - 1)], value(tasks[p]));
        }
    };
    perChecked("prowlix_task_healthy", "gauge",
               "0 while the task's health check has failed its retries, else 1.",
               [](const TaskRecord& t) { return QByteArray(t.health.unhealthy ? "0" : "1"); });
    perChecked("prowlix_task_check_failures_total", "counter",
               "Failed health checks of the task since the monitor started.",
               [](const TaskRecord& t) { return QByteArray::number(t.health.failuresTotal); });

    family(out, "prowlix_alerts_total", "counter", "Failure alerts mailed, by outcome.");
    sample(out, "prowlix_alerts_total", "result=\"sent\"", QByteArray::number(figures.alertsSent));
    sample(out, "prowlix_alerts_total", "result=\"failed\"",
           QByteArray::number(figures.alertsFailed));
    family(out, "prowlix_alerts_queued", "gauge", "Failure alerts waiting to be mailed.");
    sample(out, "prowlix_alerts_queued", {}, QByteArray::number(figures.alertsQueued));
    family(out, "prowlix_status_port_open", "gauge",
           "1 while the status port listens (every task up), else 0.");
    sample(out, "prowlix_status_port_open", {}, figures.statusPortOpen ? "1" : "0");
    family(out, "prowlix_start_time_seconds", "gauge", "Unix time at which the monitor started.");
    sample(out, "prowlix_start_time_seconds", {}, seconds(figures.startedMs));
    family(out, "prowlix_build_info", "gauge", "The monitor's version; the value is always 1.");
    sample(out, "prowlix_build_info", "version=\"" + escapeLabelValue(figures.version) + '"', "1");
    return out;
}

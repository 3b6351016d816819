#pragma once

#include <QByteArray>
#include <QString>

class TaskTable;

// What the monitor shows besides the task table.
struct MonitorFigures {
    quint64 alertsSent = 0;
    quint64 alertsFailed = 0;
    quint64 alertsQueued = 0;
    bool statusPortOpen = false;
    qint64 startedMs = 0; // Unix time in milliseconds
    QString version;
};

// The Prometheus text exposition format, version 0.0.4.
namespace Exposition {

inline constexpr const char* contentType = "text/plain; version=0.0.4; charset=utf-8";

// A label value as the format requires: backslash, double quote and line feed escaped, UTF-8.
QByteArray escapeLabelValue(const QString& value);

QByteArray render(const TaskTable& tasks, const MonitorFigures& figures);

} // namespace Exposition

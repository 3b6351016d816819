#pragma once

#include <QJsonArray>
#include <QString>

// The human form of `status`: an aligned table within `width` columns; the command, then the
// name, give way first.
QString statusTable(const QJsonArray& tasks, int width = 80);

// "status 1", "SIGSEGV core", "SIGKILL", "unknown" or "-" for a last_exit object.
QString shortExit(const QJsonValue& lastExit);
// "45s", "12m05s", "3h05m", "2d03h"; "-" for null.
QString shortUptime(const QJsonValue& seconds);

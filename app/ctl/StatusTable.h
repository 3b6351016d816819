#pragma once

#include <QJsonArray>
#include <QString>

// The human form of `status`: an aligned table within `width` columns; the command, then the
// name, give way first.
QString statusTable(const QJsonArray& tasks, int width = 80);

// Below the table when tasks are named: each one's whole command, the options it runs with, why
// its process last ended, who stopped it and its health, as far as they apply.
QString statusDetails(const QJsonArray& tasks);

// "status 1", "SIGSEGV core", "SIGKILL", "unknown" or "-" for a last_exit object.
QString shortExit(const QJsonValue& lastExit);
// "45s", "12m05s", "3h05m", "2d03h"; "-" for null.
QString shortUptime(const QJsonValue& seconds);

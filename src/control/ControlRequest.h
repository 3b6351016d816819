#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

// One request line of the control protocol: {"cmd": verb, "tasks": [TASK, ...]}. Keys it does
// not know are ignored, so older monitors answer newer clients.
struct ControlRequest {
    QString cmd;
    QStringList tasks; // names, "#id" or "all"; empty when not given

    // Longest request line taken, newline excluded.
    static constexpr qsizetype maxLineBytes = 64 * 1024;

    static const QStringList& verbs();

    // The request of a line, or nothing with the reason in error.
    static std::optional<ControlRequest> parse(const QByteArray& line, QString* error);
};

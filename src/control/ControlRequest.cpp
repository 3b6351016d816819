#include "control/ControlRequest.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

const QStringList& ControlRequest::verbs() {
    static const QStringList all{QStringLiteral("info"),    QStringLiteral("status"),
                                 QStringLiteral("start"),   QStringLiteral("stop"),
                                 QStringLiteral("restart"), QStringLiteral("log"),
                                 QStringLiteral("output")};
    return all;
}

std::optional<ControlRequest> ControlRequest::parse(const QByteArray& line, QString* error) {
    const auto fail = [error](const QString& text) -> std::optional<ControlRequest> {
        if (error != nullptr)
            *error = text;
        return std::nullopt;
    };
    if (line.size() > maxLineBytes)
        return fail(QStringLiteral("request longer than 64 KiB"));
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(line, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return fail(QStringLiteral("not JSON: ") + parseError.errorString());
    if (!document.isObject())
        return fail(QStringLiteral("a request is a JSON object"));
    const QJsonObject object = document.object();
    const QJsonValue cmd = object.value(QLatin1String("cmd"));
    if (!cmd.isString())
        return fail(QStringLiteral("\"cmd\" must be a string"));
    ControlRequest request;
    request.cmd = cmd.toString();
    if (!verbs().contains(request.cmd))
        return fail(QStringLiteral("unknown cmd \"") + request.cmd.left(64) +
                    QStringLiteral("\"; known: ") + verbs().join(QStringLiteral(", ")));
    const QJsonValue tasks = object.value(QLatin1String("tasks"));
    if (tasks.isUndefined() || tasks.isNull())
        return request;
    if (!tasks.isArray())
        return fail(QStringLiteral("\"tasks\" must be an array of strings"));
    for (const QJsonValue& task : tasks.toArray()) {
        if (!task.isString() || task.toString().isEmpty())
            return fail(QStringLiteral("\"tasks\" must be an array of strings"));
        request.tasks.append(task.toString());
    }
    return request;
}

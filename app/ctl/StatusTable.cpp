#include "StatusTable.h"

#include <QJsonObject>
#include <QList>
#include <QRegularExpression>
#include <QStringList>
#include <algorithm>

namespace {

QString elided(const QString& text, int width) {
    if (text.size() <= width)
        return text;
    if (width <= 3)
        return text.left(width);
    return text.left(width - 3) + QStringLiteral("...");
}

} // namespace

QString shortExit(const QJsonValue& lastExit) {
    if (!lastExit.isObject())
        return QStringLiteral("-");
    const QJsonObject exit = lastExit.toObject();
    if (exit.value(QLatin1String("code")).isDouble())
        return QStringLiteral("status ") +
               QString::number(exit.value(QLatin1String("code")).toInt());
    if (exit.value(QLatin1String("signal")).isDouble()) {
        static const QRegularExpression name(QStringLiteral("\\((SIG[A-Z0-9+-]+)\\)"));
        const auto match = name.match(exit.value(QLatin1String("text")).toString());
        QString text = match.hasMatch()
                           ? match.captured(1)
                           : QStringLiteral("signal ") +
                                 QString::number(exit.value(QLatin1String("signal")).toInt());
        if (exit.value(QLatin1String("core_dumped")).toBool())
            text += QStringLiteral(" core");
        return text;
    }
    return QStringLiteral("unknown");
}

QString shortUptime(const QJsonValue& seconds) {
    if (!seconds.isDouble())
        return QStringLiteral("-");
    const qint64 s = static_cast<qint64>(seconds.toDouble());
    const auto two = [](qint64 n) {
        return QString::number(n).rightJustified(2, QLatin1Char('0'));
    };
    if (s < 60)
        return QString::number(s) + QLatin1Char('s');
    if (s < 3600)
        return QString::number(s / 60) + QLatin1Char('m') + two(s % 60) + QLatin1Char('s');
    if (s < 86400)
        return QString::number(s / 3600) + QLatin1Char('h') + two(s % 3600 / 60) + QLatin1Char('m');
    return QString::number(s / 86400) + QLatin1Char('d') + two(s % 86400 / 3600) + QLatin1Char('h');
}

QString statusDetails(const QJsonArray& tasks) {
    QString out;
    for (const QJsonValue& value : tasks) {
        const QJsonObject task = value.toObject();
        out += QLatin1Char('\n') + task.value(QLatin1String("name")).toString() +
               QStringLiteral(" (#") + QString::number(task.value(QLatin1String("id")).toInt()) +
               QStringLiteral(")\n");
        const auto line = [&out](const char* label, const QString& text) {
            if (!text.isEmpty())
                out += QStringLiteral("  ") + QLatin1String(label) + text + QLatin1Char('\n');
        };
        line("command:    ", task.value(QLatin1String("command")).toString());
        line("options:    ", task.value(QLatin1String("options")).toString());
        line("last exit:  ", task.value(QLatin1String("last_exit"))
                                 .toObject()
                                 .value(QLatin1String("text"))
                                 .toString());
        line("stopped by: ", task.value(QLatin1String("stopped_by")).toString());
        if (const QJsonObject health = task.value(QLatin1String("health")).toObject();
            !health.isEmpty()) {
            const QString reason = health.value(QLatin1String("last_reason")).toString();
            line("health:     ",
                 (health.value(QLatin1String("healthy")).toBool() ? QStringLiteral("healthy")
                                                                  : QStringLiteral("unhealthy")) +
                     (reason.isEmpty() ? QString() : QStringLiteral("; last failure: ") + reason));
        }
    }
    return out;
}

QString statusTable(const QJsonArray& tasks, int width) {
    const QStringList header{
        QStringLiteral("ID"),  QStringLiteral("NAME"),      QStringLiteral("STATE"),
        QStringLiteral("PID"), QStringLiteral("UPTIME"),    QStringLiteral("FAIL"),
        QStringLiteral("RST"), QStringLiteral("LAST EXIT"), QStringLiteral("COMMAND")};
    QList<QStringList> rows{header};
    for (const QJsonValue& value : tasks) {
        const QJsonObject task = value.toObject();
        const QJsonValue pid = task.value(QLatin1String("pid"));
        rows.append({QString::number(task.value(QLatin1String("id")).toInt()),
                     task.value(QLatin1String("name")).toString(),
                     task.value(QLatin1String("state")).toString(),
                     pid.isDouble() ? QString::number(pid.toInt()) : QStringLiteral("-"),
                     shortUptime(task.value(QLatin1String("uptime_s"))),
                     QString::number(task.value(QLatin1String("failures")).toInteger()),
                     QString::number(task.value(QLatin1String("restarts")).toInteger()),
                     shortExit(task.value(QLatin1String("last_exit"))),
                     task.value(QLatin1String("command")).toString()});
    }
    int gap = 2;
    constexpr int nameColumn = 1;
    const int columns = static_cast<int>(header.size());
    QList<int> widths(columns, 0);
    for (const QStringList& row : rows) {
        for (int c = 0; c < columns; ++c)
            widths[c] = std::max(widths[c], static_cast<int>(row[c].size()));
    }
    widths[nameColumn] = std::min(widths[nameColumn], 16);
    const auto fixed = [&] {
        int sum = 0;
        for (int c = 0; c < columns - 1; ++c)
            sum += widths[c] + gap;
        return sum;
    };
    // What gives way when the table is too wide, in order: the gaps, the command down to a few
    // characters, the name down to 8, the rest of the command.
    constexpr int commandLeast = 12;
    if (fixed() + commandLeast > width)
        gap = 1;
    if (fixed() + commandLeast > width)
        widths[nameColumn] = std::max(std::min(widths[nameColumn], 8),
                                      widths[nameColumn] - (fixed() + commandLeast - width));
    widths[columns - 1] = std::max(3, std::min(widths[columns - 1], width - fixed()));
    QString out;
    out.reserve(rows.size() * (width + 1));
    for (const QStringList& row : rows) {
        QString line;
        for (int c = 0; c < columns; ++c) {
            const QString cell = elided(row[c], widths[c]);
            const bool numeric = c == 0 || c == 3 || c == 5 || c == 6;
            if (c == columns - 1)
                line += cell;
            else
                line += (numeric ? cell.rightJustified(widths[c]) : cell.leftJustified(widths[c])) +
                        QString(gap, QLatin1Char(' '));
        }
        qsizetype end = line.size();
        while (end > 0 && line.at(end - 1) == QLatin1Char(' '))
            --end;
        line.truncate(end);
        out += line + QLatin1Char('\n');
    }
    return out;
}

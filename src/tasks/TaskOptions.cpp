#include "tasks/TaskOptions.h"

#include "base/NumberPair.h"
#include "platform/LaunchSpec.h"
#include "tasks/RestartLimit.h"

#include <cmath>
#include <limits>

QString RestartDelay::parse(const QString& value, RestartDelay& delay) {
    // A day is the longest wait that still reads as a delay; it keeps the milliseconds in range.
    constexpr double longest = 24 * 3600;
    const auto pair = NumberPair::read(value, NumberPair::Numbers::Fractions,
                                       std::numeric_limits<double>::max(), longest);
    if (!pair)
        return QStringLiteral("expected min,max (two positive numbers of seconds)");
    if (pair->first > pair->second)
        return QStringLiteral("min is above max");
    delay.minMs = std::max<qint64>(1, std::llround(pair->first * 1000));
    delay.maxMs = std::max<qint64>(delay.minMs, std::llround(pair->second * 1000));
    return {};
}

QString TaskOptions::parse(const QStringList& fields, TaskOptions& options) {
    for (const QString& field : fields) {
        const qsizetype equals = field.indexOf(QLatin1Char('='));
        const QString name = field.left(equals).trimmed().toLower();
        const QString value = field.mid(equals + 1).trimmed();
        if (field.trimmed().isEmpty())
            continue; // a trailing comma
        const auto bad = [&](const QString& reason) -> QString {
            return field.trimmed() + QStringLiteral(": ") + reason;
        };
        if (equals <= 0)
            return bad(QStringLiteral("not an option (name=value)"));
        if (name == QLatin1String("check") || name.startsWith(QLatin1String("check_"))) {
            options.checks.append({name, value});
            continue;
        }
        if (value.isEmpty())
            return bad(QStringLiteral("no value"));
        if (name == QLatin1String("user")) {
            if (value.startsWith(QLatin1Char(':')) || value.endsWith(QLatin1Char(':')) ||
                value.count(QLatin1Char(':')) > 1)
                return bad(QStringLiteral("expected NAME or NAME:GROUP"));
            options.user = value;
        } else if (name == QLatin1String("dir")) {
            options.dir = value;
        } else if (name == QLatin1String("env")) {
            options.envFile = value;
        } else if (name == QLatin1String("umask")) {
            bool ok = false;
            const int mask = value.toInt(&ok, 8);
            if (!ok || mask < 0 || mask > 0777)
                return bad(QStringLiteral("expected an octal mask from 0 to 777"));
            options.umask = mask;
        } else if (name == QLatin1String("stop")) {
            const int signal = signalByName(value);
            if (signal == 0)
                return bad(QStringLiteral("no such signal"));
            options.stopSignal = signal;
        } else if (name == QLatin1String("output")) {
            options.output = value;
        } else if (name == QLatin1String("restart_delay")) {
            RestartDelay delay;
            const QString problem = RestartDelay::parse(value, delay);
            if (!problem.isEmpty())
                return bad(problem);
            options.restartDelay = delay;
        } else if (name == QLatin1String("restart_limit")) {
            if (!RestartLimit::parse(value))
                return bad(QStringLiteral("expected count,seconds (two positive whole numbers)"));
            options.restartLimit = value;
        } else {
            return bad(QStringLiteral("unknown option"));
        }
    }
    return {};
}

QString TaskOptions::describe() const {
    QStringList parts;
    const auto add = [&parts](const char* name, const QString& value) {
        if (!value.isEmpty())
            parts << QLatin1String(name) + QLatin1Char('=') + value;
    };
    add("user", user);
    add("dir", dir);
    add("env", envFile);
    if (umask >= 0)
        add("umask", QStringLiteral("%1").arg(umask, 3, 8, QLatin1Char('0')));
    if (stopSignal != 0)
        add("stop", QString::number(stopSignal));
    add("output", output);
    if (restartDelay)
        add("restart_delay", QStringLiteral("%1,%2")
                                 .arg(double(restartDelay->minMs) / 1000)
                                 .arg(double(restartDelay->maxMs) / 1000));
    add("restart_limit", restartLimit);
    for (const auto& [name, value] : checks)
        add(name.toLatin1().constData(), value);
    return parts.join(QLatin1Char(' '));
}

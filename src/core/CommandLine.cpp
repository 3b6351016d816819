#include "core/CommandLine.h"

#include "base/CommandTokens.h"

#include <cstdlib>

QStringList clsCommandLine::SplitCommandLine(const QString& text) {
    return splitCommandTokens(text);
}

const QStringList& clsCommandLine::split(const QString& CommandLine) {
    if (!split_ || CommandLine != LastCommandLine) {
        Commands_ = SplitCommandLine(CommandLine);
        LastCommandLine = CommandLine;
        split_ = true;
    }
    return Commands_;
}

bool clsCommandLine::isOption(const QString& token) {
    if (!token.startsWith(QLatin1Char('/')))
        return false;
    const qsizetype colon = token.indexOf(QLatin1Char(':'));
    const QStringView name = QStringView(token).mid(1, colon < 0 ? -1 : colon - 1);
    return !name.contains(QLatin1Char('/'));
}

QString clsCommandLine::CommandValue(const QString& key, const QString& CommandLine) {
    const QString prefix = (QLatin1Char('/') + key + QLatin1Char(':')).toUpper();
    for (const QString& token : split(CommandLine)) {
        if (token.left(prefix.size()).toUpper() == prefix)
            return token.mid(prefix.size());
    }
    return {};
}

bool clsCommandLine::CommandFlag(const QString& key, const QString& CommandLine) {
    const QString name = (QLatin1Char('/') + key).toUpper();
    for (const QString& token : split(CommandLine)) {
        const QString upper = token.toUpper();
        if (upper == name || upper.startsWith(name + QLatin1Char(':')))
            return true;
    }
    return false;
}

QString clsCommandLine::argumentText(const QStringList& arguments) {
    QStringList parts;
    parts.reserve(arguments.size());
    for (const QString& arg : arguments) {
        if (arg.contains(QLatin1Char('"')))
            continue;
        parts.append(arg.contains(QLatin1Char(' ')) ? QLatin1Char('"') + arg + QLatin1Char('"')
                                                    : arg);
    }
    return parts.join(QLatin1Char(' '));
}

QStringList clsCommandLine::refusedArguments(const QStringList& arguments) {
    QStringList refused;
    for (const QString& arg : arguments)
        if (arg.contains(QLatin1Char('"')))
            refused.append(arg);
    return refused;
}

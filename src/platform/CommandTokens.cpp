#include "CommandTokens.h"

QStringList splitCommandTokens(const QString& text) {
    QStringList tokens;
    bool inQuotes = false;
    QString current;
    const auto endToken = [&] {
        const QString token = current.trimmed();
        if (!token.isEmpty())
            tokens.append(token);
        current.clear();
    };
    for (const QChar c : text) {
        if (c == QLatin1Char('"'))
            inQuotes = !inQuotes;
        else if (c == QLatin1Char(' ') && !inQuotes)
            endToken();
        else
            current += c;
    }
    if (!inQuotes)
        endToken();
    return tokens;
}

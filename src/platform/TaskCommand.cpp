#include "TaskCommand.h"

#include "RuntimeError.h"

QStringList splitTaskCommand(const QString& command) {
    QStringList tokens;
    QString current;
    // Characters taken from single quotes are literal: neither trimmed nor dropped when blank,
    // so '' is an empty argument as in a shell.
    qsizetype literalBegin = -1;
    qsizetype literalEnd = -1;
    const auto endToken = [&] {
        qsizetype begin = 0;
        qsizetype end = current.size();
        while (begin < end && (literalBegin < 0 || begin < literalBegin) &&
               current[begin] == QLatin1Char(' '))
            ++begin;
        while (end > begin && (literalEnd < 0 || end > literalEnd) &&
               current[end - 1] == QLatin1Char(' '))
            --end;
        if (end > begin || literalBegin >= 0)
            tokens.append(current.mid(begin, end - begin));
        current.clear();
        literalBegin = literalEnd = -1;
    };

    enum class Quote { None, Double, Single } quote = Quote::None;
    for (const QChar c : command) {
        if (quote == Quote::Single) {
            if (c == QLatin1Char('\'')) {
                quote = Quote::None;
                literalEnd = current.size();
            } else {
                current += c;
            }
        } else if (c == QLatin1Char('"')) {
            quote = quote == Quote::Double ? Quote::None : Quote::Double;
        } else if (quote == Quote::Double) {
            current += c;
        } else if (c == QLatin1Char('\'')) {
            quote = Quote::Single;
            if (literalBegin < 0)
                literalBegin = current.size();
        } else if (c == QLatin1Char(' ')) {
            endToken();
        } else {
            current += c;
        }
    }
    if (quote == Quote::Single)
        throw RuntimeError(QStringLiteral("unbalanced single quote in the command"));
    if (quote == Quote::None)
        endToken();
    return tokens;
}

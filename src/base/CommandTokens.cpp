#include "base/CommandTokens.h"

#include "base/RuntimeError.h"

namespace {

struct Rules {
    QChar separator;
    bool tokens; // trimmed and never empty; otherwise fields, kept as written
    SingleQuotes singleQuotes;
};

QStringList split(const QString& text, const Rules& rules) {
    QStringList pieces;
    QString current;
    // Characters taken from single quotes are literal: neither trimmed nor dropped when blank.
    qsizetype literalBegin = -1;
    qsizetype literalEnd = -1;
    const auto endPiece = [&] {
        qsizetype begin = 0;
        qsizetype end = current.size();
        if (rules.tokens) {
            while (begin < end && (literalBegin < 0 || begin < literalBegin) &&
                   current[begin].isSpace())
                ++begin;
            while (end > begin && (literalEnd < 0 || end > literalEnd) &&
                   current[end - 1].isSpace())
                --end;
        }
        if (!rules.tokens || end > begin || literalBegin >= 0)
            pieces.append(current.mid(begin, end - begin));
        current.clear();
        literalBegin = literalEnd = -1;
    };

    enum class Quote { None, Double, Single } quote = Quote::None;
    bool endedOnSeparator = false;
    for (const QChar c : text) {
        endedOnSeparator = false;
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
        } else if (c == QLatin1Char('\'') && rules.singleQuotes == SingleQuotes::Literal) {
            quote = Quote::Single;
            if (literalBegin < 0)
                literalBegin = current.size();
        } else if (c == rules.separator) {
            endPiece();
            endedOnSeparator = true;
        } else {
            current += c;
        }
    }
    if (quote == Quote::Single)
        throw RuntimeError(QStringLiteral("unbalanced single quote in the command"));
    if (quote == Quote::None && (rules.tokens || !endedOnSeparator))
        endPiece();
    return pieces;
}

} // namespace

QStringList splitCommandTokens(const QString& text, SingleQuotes singleQuotes) {
    return split(text, {QLatin1Char(' '), true, singleQuotes});
}

QStringList splitQuotedFields(const QString& text) {
    return split(text, {QLatin1Char(','), false, SingleQuotes::Ordinary});
}

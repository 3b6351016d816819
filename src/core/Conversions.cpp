#include "core/Conversions.h"

#include "base/RuntimeError.h"

#include <QLocale>
#include <cmath>
#include <limits>
#include <optional>

namespace Conversions {

namespace {

bool isBlank(QChar c) {
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n');
}

int digitValue(QChar c, int radix) {
    const char16_t u = c.unicode();
    int d = -1;
    if (u >= u'0' && u <= u'9')
        d = u - u'0';
    else if (u >= u'a' && u <= u'f')
        d = u - u'a' + 10;
    else if (u >= u'A' && u <= u'F')
        d = u - u'A' + 10;
    return d < radix ? d : -1;
}

// The radix literal's value: up to FFFF a 16-bit, up to FFFFFFFF a 32-bit two's complement.
double radixValue(double magnitude) {
    if (magnitude <= 0xFFFF)
        return magnitude >= 0x8000 ? magnitude - 0x10000 : magnitude;
    if (magnitude <= 0xFFFFFFFFu)
        return magnitude >= 0x80000000u ? magnitude - 4294967296.0 : magnitude;
    return magnitude;
}

struct Reading {
    double value = 0;
    qsizetype consumed = 0; // characters of the text taken by the number, blanks included
    bool found = false;     // at least one digit
};

// Reads the longest number at the start of the text. skipBlanks: blanks anywhere are ignored
// (leading-number reading); otherwise the number must be one piece.
Reading readNumber(const QString& text, bool skipBlanks) {
    Reading r;
    qsizetype i = 0;
    const qsizetype n = text.size();
    const auto skip = [&] {
        while (skipBlanks && i < n && isBlank(text[i]))
            ++i;
    };
    const auto at = [&](qsizetype k) { return k < n ? text[k] : QChar(); };

    skip();
    if (at(i) == QLatin1Char('&')) {
        qsizetype k = i + 1;
        while (skipBlanks && k < n && isBlank(text[k]))
            ++k;
        const QChar kind = at(k).toUpper();
        const int radix = kind == QLatin1Char('H') ? 16 : kind == QLatin1Char('O') ? 8 : 0;
        if (radix == 0)
            return r;
        i = k + 1;
        double magnitude = 0;
        for (;;) {
            skip();
            const int d = i < n ? digitValue(text[i], radix) : -1;
            if (d < 0)
                break;
            magnitude = magnitude * radix + d;
            r.found = true;
            ++i;
        }
        r.value = r.found ? radixValue(magnitude) : 0;
        r.consumed = i;
        return r;
    }

    QString digits;
    if (at(i) == QLatin1Char('+') || at(i) == QLatin1Char('-')) {
        digits += at(i);
        ++i;
    }
    bool point = false;
    for (;;) {
        skip();
        const QChar c = at(i);
        if (c.isDigit() && c.unicode() < 128) {
            digits += c;
            r.found = true;
        } else if (c == QLatin1Char('.') && !point) {
            digits += c;
            point = true;
        } else {
            break;
        }
        ++i;
    }
    if (!r.found)
        return r;
    r.consumed = i;
    // An exponent counts only when digits follow it; "1e" is just 1.
    if (at(i).toUpper() == QLatin1Char('E') || at(i).toUpper() == QLatin1Char('D')) {
        qsizetype k = i + 1;
        QString exponent = QStringLiteral("e");
        const auto skipAt = [&] {
            while (skipBlanks && k < n && isBlank(text[k]))
                ++k;
        };
        skipAt();
        if (at(k) == QLatin1Char('+') || at(k) == QLatin1Char('-')) {
            exponent += at(k);
            ++k;
        }
        bool expDigits = false;
        for (;;) {
            skipAt();
            const QChar c = at(k);
            if (!(c.isDigit() && c.unicode() < 128))
                break;
            exponent += c;
            expDigits = true;
            ++k;
        }
        if (expDigits) {
            digits += exponent;
            r.consumed = k;
        }
    }
    bool ok = false;
    r.value = digits.toDouble(&ok);
    if (!ok || !std::isfinite(r.value))
        throw RuntimeError(QStringLiteral("Overflow"));
    return r;
}

// A whole text as one number, blanks around it allowed; nothing when it is no number.
std::optional<double> wholeNumber(const QString& text) {
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    const Reading r = readNumber(trimmed, false);
    if (!r.found || r.consumed != trimmed.size())
        return std::nullopt;
    return r.value;
}

} // namespace

double Val(const QString& text) {
    return readNumber(text, true).value;
}

qint16 CInt(const QString& text) {
    const std::optional<double> number = wholeNumber(text);
    if (!number)
        throw RuntimeError(QStringLiteral("Type mismatch"));
    const double rounded =
        std::isfinite(*number) ? static_cast<double>(roundHalfEven(*number)) : *number;
    if (!(rounded >= -32768 && rounded <= 32767))
        throw RuntimeError(QStringLiteral("Overflow"));
    return static_cast<qint16>(rounded);
}

bool CBool(const QString& text) {
    const QString trimmed = text.trimmed();
    if (trimmed.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0)
        return true;
    if (trimmed.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0)
        return false;
    const std::optional<double> number = wholeNumber(trimmed);
    if (!number)
        throw RuntimeError(QStringLiteral("Type mismatch"));
    return *number != 0;
}

QString numberText(double value) {
    if (!std::isfinite(value))
        return QString::number(value);
    if (value == 0)
        return QStringLiteral("0"); // no "-0"
    return QString::number(value, 'f', QLocale::FloatingPointShortest);
}

} // namespace Conversions

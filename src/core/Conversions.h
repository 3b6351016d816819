#pragma once

#include <QString>

// The runtime conversions of configuration values.
namespace Conversions {

// Leading-number reading: blanks, tabs and line feeds skipped anywhere, &H and &O prefixes,
// stops at the first character that cannot continue a number; no number gives 0.
double Val(const QString& text);

// 16-bit integer: surrounding blanks allowed, fractions rounded half to even; throws
// RuntimeError("Type mismatch") for text that is no number, RuntimeError("Overflow") out of range.
qint16 CInt(const QString& text);

// Boolean: True/False in any case, or a number (non-zero is true); throws RuntimeError
// ("Type mismatch") otherwise.
bool CBool(const QString& text);

// Plain decimal without leading zeros, with a fractional part only when the value has one.
QString numberText(double value);

// Rounded to an integer, halves to the even neighbour.
qint64 roundHalfEven(double value);

} // namespace Conversions

#pragma once

#include "base/Rounding.h"

#include <QString>

// The runtime conversions of configuration values.
namespace Conversions {

// Leading-number reading: blanks, tabs and line feeds skipped anywhere, &H and &O prefixes,
// stops at the first character that cannot continue a number; no number gives 0. &H and &O
// values up to FFFF read as 16-bit and up to FFFFFFFF as 32-bit two's complement; a decimal
// number too large for a double throws RuntimeError("Overflow").
double Val(const QString& text);

// 16-bit integer: surrounding blanks allowed, fractions rounded half to even; throws
// RuntimeError("Type mismatch") for text that is no number, RuntimeError("Overflow") out of range.
qint16 CInt(const QString& text);

// Boolean: True/False in any case, or a number (non-zero is true); blanks around either are
// accepted, as they are around CInt's numbers. Throws RuntimeError("Type mismatch") otherwise.
bool CBool(const QString& text);

// Plain decimal without leading zeros, with a fractional part only when the value has one.
QString numberText(double value);

using ::roundHalfEven;

} // namespace Conversions

#pragma once

#include <QtGlobal>
#include <cmath>
#include <limits>

// Rounded to an integer, halves to the even neighbour; NaN gives 0 and values beyond the
// 64-bit range saturate. Configuration numbers and the status port both round this way.
inline qint64 roundHalfEven(double value) {
    if (std::isnan(value))
        return 0;
    // 2^63 is exactly representable; anything at or beyond it saturates.
    constexpr double limit = 9223372036854775808.0;
    if (value >= limit)
        return std::numeric_limits<qint64>::max();
    if (value < -limit)
        return std::numeric_limits<qint64>::min();
    const double below = std::floor(value);
    const double fraction = value - below;
    double result = below;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(below, 2.0) != 0))
        result = below + 1;
    if (result >= limit)
        return std::numeric_limits<qint64>::max();
    return static_cast<qint64>(result);
}

#include "Conversions.h"

#include <cmath>

namespace Conversions {

double Val(const QString& text) {
    bool ok = false;
    const double v = text.trimmed().toDouble(&ok);
    return ok ? v : 0;
}

qint16 CInt(const QString& text) { return static_cast<qint16>(Val(text)); }
bool CBool(const QString& text) { return Val(text) != 0; }

QString numberText(double value) {
    if (std::floor(value) == value && std::fabs(value) < 1e15)
        return QString::number(static_cast<qint64>(value));
    return QString::number(value, 'g', 15);
}

qint64 roundHalfEven(double value) {
    return static_cast<qint64>(std::nearbyint(value));
}

} // namespace Conversions

#include "base/NumberPair.h"

#include <QStringList>
#include <cmath>

std::optional<NumberPair> NumberPair::read(const QString& text, Numbers numbers,
                                           double firstHighest, double secondHighest) {
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 2)
        return std::nullopt;
    const auto number = [numbers](const QString& part, double highest) -> std::optional<double> {
        bool ok = false;
        const double n = numbers == Numbers::Whole
                             ? static_cast<double>(part.trimmed().toLongLong(&ok))
                             : part.trimmed().toDouble(&ok);
        if (!ok || !std::isfinite(n) || !(n > 0) || n > highest)
            return std::nullopt;
        return n;
    };
    const std::optional<double> first = number(parts[0], firstHighest);
    const std::optional<double> second = number(parts[1], secondHighest);
    if (!first || !second)
        return std::nullopt;
    return NumberPair{*first, *second};
}

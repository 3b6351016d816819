#pragma once

#include <QIcon>

class QPainter;
class QRectF;

// The application's two pictures, drawn from their shapes at whatever size and scale they are
// asked for, so that they stay sharp: the normal icon (a watching eye on navy, as in
// prowlix.svg) and the failure icon (an exclamation mark on red, as in prowlix-failure.svg).
namespace AppIcons {

enum class Kind { Normal, Failure };

// Draws the picture into the rectangle, stretched to fill it.
void paint(QPainter& painter, const QRectF& rect, Kind kind);
QIcon icon(Kind kind);
inline QIcon normalIcon() {
    return icon(Kind::Normal);
}
inline QIcon failureIcon() {
    return icon(Kind::Failure);
}

} // namespace AppIcons

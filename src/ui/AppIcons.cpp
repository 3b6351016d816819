#include "AppIcons.h"

#include <QPainter>
#include <QPainterPath>

namespace AppIcons {
namespace {

constexpr int side = 32;

// Plain pixels, no smoothing: the pictures keep to the 16-colour palette.
void canvas(QPainter& painter, QPixmap& pixmap) {
    pixmap.fill(Qt::transparent);
    painter.begin(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing, false);
}

} // namespace

QPixmap normalPixmap() {
    QPixmap pixmap(side, side);
    QPainter painter;
    canvas(painter, pixmap);
    painter.setPen(QPen(QColor(0x00, 0x00, 0x00), 1));
    painter.setBrush(QColor(0x00, 0x00, 0x80));
    painter.drawRoundedRect(1, 1, 29, 29, 5, 5);
    // The eye: a white almond with a teal iris and a black pupil.
    QPainterPath almond;
    almond.moveTo(4, 16);
    almond.quadTo(16, 3, 28, 16);
    almond.quadTo(16, 29, 4, 16);
    painter.setPen(QPen(QColor(0xC0, 0xC0, 0xC0), 1));
    painter.setBrush(QColor(0xFF, 0xFF, 0xFF));
    painter.drawPath(almond);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x00, 0x80, 0x80));
    painter.drawEllipse(QPoint(16, 16), 6, 6);
    painter.setBrush(QColor(0x00, 0x00, 0x00));
    painter.drawEllipse(QPoint(16, 16), 3, 3);
    painter.setBrush(QColor(0xFF, 0xFF, 0xFF));
    painter.drawRect(17, 13, 2, 2);
    painter.end();
    return pixmap;
}

QPixmap failurePixmap() {
    QPixmap pixmap(side, side);
    QPainter painter;
    canvas(painter, pixmap);
    painter.setPen(QPen(QColor(0x80, 0x00, 0x00), 1));
    painter.setBrush(QColor(0xFF, 0x00, 0x00));
    painter.drawRoundedRect(1, 1, 29, 29, 5, 5);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xFF, 0xFF, 0x00));
    painter.drawRect(13, 5, 6, 15);
    painter.drawRect(13, 23, 6, 5);
    painter.end();
    return pixmap;
}

QIcon normalIcon() {
    return QIcon(normalPixmap());
}

QIcon failureIcon() {
    return QIcon(failurePixmap());
}

} // namespace AppIcons

#include "ui/AppIcons.h"

#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <algorithm>

namespace AppIcons {
namespace {

// The pictures are designed on a 32 by 32 grid in the 16 standard colours.
constexpr double grid = 32;

void paintNormal(QPainter& painter) {
    painter.setPen(QPen(QColor(0x00, 0x00, 0x00), 1));
    painter.setBrush(QColor(0x00, 0x00, 0x80));
    painter.drawRoundedRect(QRectF(1.5, 1.5, 29, 29), 5, 5);
    QPainterPath almond;
    almond.moveTo(4, 16);
    almond.quadTo(16, 3, 28, 16);
    almond.quadTo(16, 29, 4, 16);
    painter.setPen(QPen(QColor(0xC0, 0xC0, 0xC0), 1));
    painter.setBrush(QColor(0xFF, 0xFF, 0xFF));
    painter.drawPath(almond);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x00, 0x80, 0x80));
    painter.drawEllipse(QPointF(16, 16), 6, 6);
    painter.setBrush(QColor(0x00, 0x00, 0x00));
    painter.drawEllipse(QPointF(16, 16), 3, 3);
    painter.setBrush(QColor(0xFF, 0xFF, 0xFF));
    painter.drawRect(QRectF(17, 13, 2, 2));
}

void paintFailure(QPainter& painter) {
    painter.setPen(QPen(QColor(0x80, 0x00, 0x00), 1));
    painter.setBrush(QColor(0xFF, 0x00, 0x00));
    painter.drawRoundedRect(QRectF(1.5, 1.5, 29, 29), 5, 5);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xFF, 0xFF, 0x00));
    painter.drawRect(QRectF(13, 5, 6, 15));
    painter.drawRect(QRectF(13, 23, 6, 5));
}

// Renders each requested size afresh instead of scaling one bitmap, which blurs at a scale
// factor of 2 and in the large splash logo.
class DrawnIconEngine final : public QIconEngine {
  public:
    explicit DrawnIconEngine(Kind kind) : kind_(kind) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
        const int side = std::min(rect.width(), rect.height());
        const QRectF square(rect.x() + (rect.width() - side) / 2.0,
                            rect.y() + (rect.height() - side) / 2.0, side, side);
        painter->save();
        if (mode == QIcon::Disabled)
            painter->setOpacity(0.5);
        AppIcons::paint(*painter, square, kind_);
        painter->restore();
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return scaledPixmap(size, mode, state, 1.0);
    }

    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state,
                         qreal scale) override {
        const QSize device = (QSizeF(size) * scale).toSize();
        QPixmap pixmap(device.isEmpty() ? QSize(1, 1) : device);
        pixmap.fill(Qt::transparent);
        {
            QPainter painter(&pixmap);
            paint(&painter, QRect(QPoint(), pixmap.size()), mode, state);
        }
        pixmap.setDevicePixelRatio(scale);
        return pixmap;
    }

    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override {
        const int side = std::min(size.width(), size.height());
        return {side, side};
    }

    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
        return {{16, 16}, {22, 22}, {24, 24}, {32, 32}, {48, 48}, {64, 64}, {128, 128}};
    }

    QIconEngine* clone() const override { return new DrawnIconEngine(kind_); }
    QString key() const override { return QStringLiteral("ProwlixDrawnIcon"); }

  private:
    Kind kind_;
};

} // namespace

void paint(QPainter& painter, const QRectF& rect, Kind kind) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.translate(rect.topLeft());
    painter.scale(rect.width() / grid, rect.height() / grid);
    if (kind == Kind::Normal)
        paintNormal(painter);
    else
        paintFailure(painter);
    painter.restore();
}

QIcon icon(Kind kind) {
    return QIcon(new DrawnIconEngine(kind));
}

} // namespace AppIcons

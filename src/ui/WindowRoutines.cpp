#include "WindowRoutines.h"

#include <QFrame>
#include <QVariant>
#include <QWidget>
#include <QWindow>
#include <cmath>

namespace WindowRoutines {
namespace {

void setStaysOnTop(QWidget* window, bool on) {
    if (window == nullptr)
        return;
    const Qt::WindowFlags flags = on ? window->windowFlags() | Qt::WindowStaysOnTopHint
                                     : window->windowFlags() & ~Qt::WindowStaysOnTopHint;
    // QWidget::setWindowFlags would unmap a shown window; change the live window instead and
    // keep the widget's record of its flags in step.
    window->overrideWindowFlags(flags);
    if (QWindow* handle = window->windowHandle())
        handle->setFlags(flags);
}

} // namespace

void OnTop(QWidget* FormName) {
    setStaysOnTop(FormName, true);
}

void Notontop(QWidget* FormName) {
    setStaysOnTop(FormName, false);
}

bool isOnTop(const QWidget* window) {
    return window->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
}

void FlatLook(QWidget* widget) {
    if (widget == nullptr)
        return;
    // Windows and buttons already carry the desktop style's border; frames get the thin edge.
    if (auto* frame = qobject_cast<QFrame*>(widget)) {
        frame->setFrameShape(QFrame::StyledPanel);
        frame->setFrameShadow(QFrame::Sunken);
        frame->setLineWidth(1);
    }
    widget->setProperty("flatLook", true);
}

QFont designFont(const QString& family, double points, bool bold, bool italic) {
    QFont font;
    font.setFamilies({family, QStringLiteral("Arial"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("Nimbus Sans")});
    font.setPointSizeF(points);
    font.setBold(bold);
    font.setItalic(italic);
    return font;
}

int twipsToPixelsX(const QWidget* widget, double twips) {
    return static_cast<int>(std::lround(twips * widget->logicalDpiX() / 1440.0));
}

int twipsToPixelsY(const QWidget* widget, double twips) {
    return static_cast<int>(std::lround(twips * widget->logicalDpiY() / 1440.0));
}

double pixelsToTwipsX(const QWidget* widget, int pixels) {
    return pixels * 1440.0 / widget->logicalDpiX();
}

double pixelsToTwipsY(const QWidget* widget, int pixels) {
    return pixels * 1440.0 / widget->logicalDpiY();
}

} // namespace WindowRoutines

#include "WindowRoutines.h"

#include <QEvent>
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

class FrameWatcher final : public QObject {
  public:
    FrameWatcher(QWidget* window, std::function<void()> changed)
        : QObject(window), window_(window), changed_(std::move(changed)) {
        window->installEventFilter(this);
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
        case QEvent::Show:
        case QEvent::Move:
        case QEvent::Resize:
        case QEvent::ActivationChange:
        case QEvent::WindowStateChange:
        case QEvent::UpdateRequest:
            if (watched == window_ && window_->isVisible()) {
                const QSize extent = frameExtent(window_);
                if (extent != last_) {
                    last_ = extent;
                    changed_();
                }
            }
            break;
        default:
            break;
        }
        return false;
    }

  private:
    QWidget* window_;
    std::function<void()> changed_;
    QSize last_{-1, -1};
};

} // namespace

QSize frameExtent(const QWidget* window) {
    return window->frameGeometry().size() - window->size();
}

void onFrameChange(QWidget* window, std::function<void()> changed) {
    new FrameWatcher(window, std::move(changed));
}

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

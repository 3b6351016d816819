#include "WindowRoutines.h"

#include <QEvent>
#include <QFrame>
#include <QTimer>
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
        // The decoration can arrive with no event of the widget's own that tells of it (no
        // move, no resize, while another window is active): look for a while after each show.
        poll_.setInterval(pollMilliseconds);
        connect(&poll_, &QTimer::timeout, this, [this] {
            check();
            if (++polls_ >= pollCount)
                poll_.stop();
        });
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != window_)
            return false;
        switch (event->type()) {
        case QEvent::Show:
            polls_ = 0;
            poll_.start();
            check();
            break;
        case QEvent::Move:
        case QEvent::Resize:
        case QEvent::ActivationChange:
        case QEvent::WindowStateChange:
            check();
            break;
        default:
            break;
        }
        return false;
    }

  private:
    static constexpr int pollMilliseconds = 50;
    static constexpr int pollCount = 40;

    void check() {
        if (!window_->isVisible())
            return;
        const QSize extent = frameExtent(window_);
        if (extent != last_) {
            last_ = extent;
            changed_();
        }
    }

    QWidget* window_;
    std::function<void()> changed_;
    QSize last_{-1, -1};
    QTimer poll_;
    int polls_ = 0;
};

} // namespace

QRect outerGeometry(const QWidget* window) {
    if (const QWindow* handle = window->windowHandle(); handle != nullptr && window->isVisible())
        return handle->frameGeometry();
    return window->frameGeometry();
}

void moveOuterTo(QWidget* window, const QPoint& topLeft) {
    // The client's position, from the frame as it is now: a frame-inclusive request would be
    // read by some window managers as the client's position.
    if (QWindow* handle = window->windowHandle(); handle != nullptr && window->isVisible())
        handle->setPosition(topLeft +
                            (handle->geometry().topLeft() - handle->frameGeometry().topLeft()));
    else
        window->move(topLeft);
}

void centreOuterOn(QWidget* window, const QWidget* owner) {
    const QSize outer = outerGeometry(window).size();
    moveOuterTo(window,
                outerGeometry(owner).center() - QPoint(outer.width() / 2, outer.height() / 2));
}

QSize frameExtent(const QWidget* window) {
    return outerGeometry(window).size() - window->size();
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

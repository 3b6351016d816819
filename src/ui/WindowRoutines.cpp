#include "ui/WindowRoutines.h"

#include <QEvent>
#include <QFrame>
#include <QScreen>
#include <QTimer>
#include <QVariant>
#include <QWidget>
#include <QWindow>
#include <algorithm>
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
        // Hidden counts from the start of hiding: a window destroyed while shown is closed by
        // QWidget's destructor, whose deactivation would otherwise run the callback on a window
        // that is already half gone.
        if (!window_->isVisible() || window_->isHidden())
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
    if (const QWindow* handle = window->windowHandle(); handle != nullptr && window->isVisible()) {
        // While the window manager takes a window in, the platform can report a frame smaller
        // than the client: that is no frame yet, and the client alone is what is known.
        const QRect frame = handle->frameGeometry();
        const QRect client = handle->geometry();
        if (frame.width() >= client.width() && frame.height() >= client.height())
            return frame;
        return client;
    }
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

void placeBeside(QWidget* window, const QWidget* owner) {
    const QScreen* screen = owner->screen();
    if (screen == nullptr)
        return;
    const QRect area = screen->availableGeometry();
    const QRect o = outerGeometry(owner);
    const QSize s = outerGeometry(window).size();
    const QPoint candidates[] = {{o.right() + 1, o.top()},
                                 {o.left() - s.width(), o.top()},
                                 {o.left(), o.bottom() + 1},
                                 {o.left(), o.top() - s.height()}};
    for (QPoint at : candidates) {
        // Slid along the owner's edge into the screen, as far as that keeps it clear.
        QRect r(at, s);
        r.moveLeft(
            std::clamp(r.left(), area.left(), std::max(area.left(), area.right() - s.width() + 1)));
        r.moveTop(
            std::clamp(r.top(), area.top(), std::max(area.top(), area.bottom() - s.height() + 1)));
        if (area.contains(r) && !r.intersects(o)) {
            moveOuterTo(window, r.topLeft());
            return;
        }
    }
    // No room beside it: the screen's lower right corner covers the least of the lists.
    moveOuterTo(window, QPoint(std::max(area.left(), area.right() - s.width() + 1),
                               std::max(area.top(), area.bottom() - s.height() + 1)));
}

void keepOnScreen(QWidget* window) {
    const QScreen* screen = window->screen();
    if (screen == nullptr)
        return;
    const QRect area = screen->availableGeometry();
    const QSize frame = frameExtent(window);
    const QSize fit = window->size().boundedTo(area.size() - frame);
    if (fit != window->size())
        window->resize(fit.expandedTo(window->minimumSize()));
    const QRect outer = outerGeometry(window);
    const QPoint at(std::clamp(outer.left(), area.left(),
                               std::max(area.left(), area.right() - outer.width() + 1)),
                    std::clamp(outer.top(), area.top(),
                               std::max(area.top(), area.bottom() - outer.height() + 1)));
    if (at != outer.topLeft())
        moveOuterTo(window, at);
}

QRect alignedToDevicePixels(const QRect& rect, const QPoint& offset, double ratio) {
    // The smallest step in logical pixels that is a whole number of device pixels.
    int step = 1;
    for (int n = 1; n <= 8; ++n) {
        if (std::abs(n * ratio - std::round(n * ratio)) < 1e-6) {
            step = n;
            break;
        }
    }
    const auto snap = [step](int v) {
        return static_cast<int>(std::lround(double(v) / step)) * step;
    };
    return {snap(rect.left() + offset.x()) - offset.x(), snap(rect.top() + offset.y()) - offset.y(),
            std::max(step, snap(rect.width())), std::max(step, snap(rect.height()))};
}

QSize frameExtent(const QWidget* window) {
    // A frame smaller than the client is no frame yet. Taken as one, it once set the window's
    // minimum to the client size plus the client size, and the window opened at that size.
    const QSize extent = outerGeometry(window).size() - window->size();
    if (extent.width() < 0 || extent.height() < 0)
        return {0, 0};
    return extent;
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

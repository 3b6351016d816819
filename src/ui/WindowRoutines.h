#pragma once

#include <QFont>
#include <QRect>
#include <QSize>
#include <functional>

class QWidget;

// Small routines shared by the windows: topmost on and off, the thin sunken edge, and the
// twips in which every design size is given.
namespace WindowRoutines {

void OnTop(QWidget* FormName);
void Notontop(QWidget* FormName);
bool isOnTop(const QWidget* window);

// Gives a window or control the thin sunken edge; applying it again changes nothing.
void FlatLook(QWidget* widget);

// A design font by name; where the system lacks it, Arial's metric twins come before the
// system's default, whose wider letters would overrun the design positions.
QFont designFont(const QString& family, double points, bool bold = false, bool italic = false);

// pixels = twips x logical DPI / 1440, horizontally and vertically.
int twipsToPixelsX(const QWidget* widget, double twips);
int twipsToPixelsY(const QWidget* widget, double twips);
double pixelsToTwipsX(const QWidget* widget, int pixels);
double pixelsToTwipsY(const QWidget* widget, int pixels);

// The outer rectangle of a window, frame included, as the window system knows it now (the
// widget's own record of its frame is brought up to date only by a move or a resize).
QRect outerGeometry(const QWidget* window);
// Moves a window so that its frame's top-left corner lies at the point.
void moveOuterTo(QWidget* window, const QPoint& topLeft);
// Centres a window's frame on another window's frame.
void centreOuterOn(QWidget* window, const QWidget* owner);
// Places a window beside its owner (right, left, below or above, the first that fits on the
// owner's screen), so that it covers none of the owner's lists.
void placeBeside(QWidget* window, const QWidget* owner);
// Brings a window's frame wholly into the available area of its screen, shrinking it if needed.
void keepOnScreen(QWidget* window);
// A rectangle whose edges fall on whole device pixels at the given ratio, for a widget whose
// parent lies at offset within the window: at 1.25 or 1.5 an edge between device pixels is
// drawn blurred or not at all.
QRect alignedToDevicePixels(const QRect& rect, const QPoint& offset, double ratio);
// What the window manager adds around the client area (title bar and borders).
QSize frameExtent(const QWidget* window);

// Runs changed whenever the window's frame extent differs from the one last seen. A window
// manager decorates a window only after it is mapped, without resizing it, so a layout or a
// position computed from the outer size at the first showing has to be done again then.
void onFrameChange(QWidget* window, std::function<void()> changed);

} // namespace WindowRoutines

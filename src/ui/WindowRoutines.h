#pragma once

class QWidget;

// Small routines shared by the windows: topmost on and off, the thin sunken edge, and the
// twips in which every design size is given.
namespace WindowRoutines {

void OnTop(QWidget* FormName);
void Notontop(QWidget* FormName);
bool isOnTop(const QWidget* window);

// Gives a window or control the thin sunken edge; applying it again changes nothing.
void FlatLook(QWidget* widget);

// pixels = twips x logical DPI / 1440, horizontally and vertically.
int twipsToPixelsX(const QWidget* widget, double twips);
int twipsToPixelsY(const QWidget* widget, double twips);
double pixelsToTwipsX(const QWidget* widget, int pixels);
double pixelsToTwipsY(const QWidget* widget, int pixels);

} // namespace WindowRoutines

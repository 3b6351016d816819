#pragma once

#include <QIcon>
#include <QPixmap>

// The application's two 32 by 32 pictures, drawn in code with the 16 standard colours: the
// normal icon (a watching eye on navy) and the failure icon (an exclamation mark on red).
namespace AppIcons {

QPixmap normalPixmap();
QPixmap failurePixmap();
QIcon normalIcon();
QIcon failureIcon();

} // namespace AppIcons

// Entry of the desktop module: the widget application, the splash, then the monitor.
#include "AppIcons.h"
#include "DesktopView.h"
#include "Runner.h"
#include "SystemText.h"
#include "frmMain.h"
#include "frmSplash.h"

#include <QApplication>
#include <QSystemTrayIcon>
#include <QTimer>
#include <memory>

extern "C" __attribute__((visibility("default"))) int prowlixDesktopMain(int argc, char** argv) {
    QApplication app(argc, argv);
    // The monitor lives on with every window hidden; only shutdown ends it.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(AppIcons::normalIcon());
    DesktopView view(QSystemTrayIcon::isSystemTrayAvailable());
    std::unique_ptr<frmSplash> splash;
    return runMonitor(view, systemArguments(argc, argv), [&](Monitor& monitor) {
        view.attach(monitor);
        // The splash takes the main window's icon and is the first window on screen; start-up
        // then shows the main window beneath it.
        splash = std::make_unique<frmSplash>(view.mainWindow()->windowIcon().pixmap(32, 32));
        splash->show();
        // Start-up shows the main window after this; give the splash the keyboard back so
        // that a key press closes it.
        QTimer::singleShot(0, splash.get(), [&splash] { splash->activateWindow(); });
    });
}

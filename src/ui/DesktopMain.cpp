// Entry of the desktop module: the widget application, then the monitor; the view shows the
// splash once start-up has ended.
#include "base/SystemText.h"
#include "core/Monitor.h"
#include "core/Runner.h"
#include "ui/AppIcons.h"
#include "ui/DesktopView.h"

#include <QApplication>
#include <QSystemTrayIcon>
#include <functional>

extern "C" __attribute__((visibility("default"))) int prowlixDesktopMain(int argc, char** argv) {
    QApplication app(argc, argv);
    // The monitor lives on with every window hidden; only shutdown ends it.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(AppIcons::normalIcon());
    DesktopView view{std::function<bool()>(&QSystemTrayIcon::isSystemTrayAvailable)};
    return runMonitor(view, systemArguments(argc, argv),
                      [&view](Monitor& monitor) { view.attach(monitor.model()); });
}

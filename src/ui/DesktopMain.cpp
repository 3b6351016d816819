#include "Runner.h"
#include "View.h"

#include <QApplication>

extern "C" __attribute__((visibility("default"))) int prowlixDesktopMain(int argc, char** argv) {
    QApplication app(argc, argv);
    HeadlessView view;
    return runMonitor(view, QCoreApplication::arguments().mid(1));
}

#pragma once

#include "TestSupport.h"
#include "core/Monitor.h"
#include "platform/ProcessControl.h"
#include "ui/DesktopView.h"
#include "ui/frmMain.h"
#include "ui/frmSplash.h"
#include "ui/frmTrayMenu.h"

#include <QApplication>
#include <QGuiApplication>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <gtest/gtest.h>

// A real monitor with real child processes behind the desktop windows, logging into a scratch
// directory and listening on a free port.
class DesktopFixture : public ::testing::Test {
  protected:
    void start(const QString& arguments, bool trayAvailable = true) {
        processes = createProcessControl();
        trayPresent = trayAvailable;
        view = std::make_unique<DesktopView>(std::function<bool()>([this] { return trayPresent; }));
        monitor = std::make_unique<Monitor>(
            *view, *processes, "/P:" + QString::number(testsupport::freePort()) + ' ' + arguments,
            ProgramInfo{dir.path(), QStringLiteral("prowlix")});
        monitor->quit = [] {};
        view->attach(monitor->model());
        monitor->startUp();
    }
    void startWithIni(const QByteArray& lines, bool trayAvailable = true) {
        ASSERT_TRUE(testsupport::writeFile(dir.filePath("watch.ini"), lines));
        start("/I:" + dir.filePath("watch.ini"), trayAvailable);
    }
    // Runs the trigger while a poll hands the modal dialog of type T, once shown, to the handler.
    template <typename T, typename Trigger, typename Handler>
    static void whileModal(Trigger trigger, Handler handler) {
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget()))
                handler(dialog);
        });
        poll.start(10);
        trigger();
    }
    void TearDown() override {
        for (int p = 1; monitor && p <= monitor->tasks().upperBound(); ++p) {
            if (processes->status(monitor->tasks()[p].ProcessId).isRunning())
                processes->requestClose(monitor->tasks()[p].ProcessId);
        }
        view.reset();
        monitor.reset();
    }
    QString logText() {
        return testsupport::readFile(monitor->eventLog().LogFileName(QDate::currentDate()));
    }
    // The splash closed, the main window active, as an operator finds it a moment after start.
    bool activateMain() {
        if (view->splash() != nullptr)
            view->splash()->close();
        QApplication::processEvents();
        main().activateWindow();
        return QTest::qWaitForWindowActive(&main());
    }
    // Minimises the main window and waits until the window manager has done it (the offscreen
    // platform only records it), so that what comes next does not race the request.
    bool minimiseMain() {
        main().showMinimized();
        return testsupport::waitUntil([this] {
            return main().isMinimized() && (QGuiApplication::platformName() == "offscreen" ||
                                            !main().windowHandle()->isExposed());
        });
    }
    frmMain& main() { return *view->mainWindow(); }
    frmTrayMenu& tray() { return *view->trayMenu(); }

    QTemporaryDir dir;
    bool trayPresent = true; // a test may take the notification area away while the monitor runs
    std::unique_ptr<ProcessControl> processes;
    std::unique_ptr<DesktopView> view;
    std::unique_ptr<Monitor> monitor;
};

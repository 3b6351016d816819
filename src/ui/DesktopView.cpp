#include "DesktopView.h"

#include "Monitor.h"
#include "Version.h"
#include "WindowRoutines.h"
#include "frmMain.h"
#include "frmTrayMenu.h"
#include "frmViewTask.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QListView>
#include <QMessageBox>
#include <QUrl>

DesktopView::DesktopView(bool trayAvailable) : trayAvailable_(trayAvailable) {}

DesktopView::~DesktopView() = default;

void DesktopView::attach(Monitor& monitor) {
    main_ = std::make_unique<frmMain>(monitor, trayAvailable_);
    tray_ = std::make_unique<frmTrayMenu>(main_.get());
    tray_->ShutDownMonitor = [&monitor] { monitor.ShutDownMonitor(); };
    // The session ending is the system shutting down or the user logging off.
    QObject::connect(qApp, &QGuiApplication::commitDataRequest, main_.get(),
                     [&monitor] { monitor.closeRule(Monitor::CloseReason::SystemShutdown); });
}

void DesktopView::showMessage(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(Version::productName), text,
                    QMessageBox::Ok);
    box.exec();
}

void DesktopView::openFile(const QString& path) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void DesktopView::applyFlatLook() {
    if (!main_)
        return;
    WindowRoutines::FlatLook(main_->List1);
    WindowRoutines::FlatLook(main_->List2);
    WindowRoutines::FlatLook(main_.get());
}

void DesktopView::showTray() {
    if (tray_)
        tray_->Form_Load();
}

void DesktopView::setTitle(const QString& title) {
    if (main_)
        main_->setWindowTitle(title);
}

void DesktopView::setListCaptions(const QString& up, const QString& down) {
    if (main_)
        main_->setListCaptions(up, down);
}

void DesktopView::applyWindowState(WindowState state) {
    if (main_)
        main_->applyWindowState(state);
}

void DesktopView::setLoggingChecked(bool checked) {
    if (main_)
        main_->mnuLogsDisable->setChecked(checked);
}

void DesktopView::setStatusLine(const QString& text) {
    if (main_)
        main_->Label1->setText(text);
}

void DesktopView::NotifyON() {
    if (tray_)
        tray_->NotifyON();
}

void DesktopView::NotifyOFF() {
    if (tray_)
        tray_->NotifyOFF();
}

void DesktopView::unloadAll() {
    if (tray_)
        tray_->removeIcon();
    if (main_) {
        main_->closeViewLog();
        main_->viewTask()->close();
        main_->close();
    }
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->isVisible())
            window->close();
    }
}

#include "ui/DesktopView.h"

#include "core/MonitorModel.h"
#include "platform/Version.h"
#include "ui/AppIcons.h"
#include "ui/WindowRoutines.h"
#include "ui/frmMain.h"
#include "ui/frmSplash.h"
#include "ui/frmTrayMenu.h"
#include "ui/frmViewTask.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QGridLayout>
#include <QLabel>
#include <QListView>
#include <QMessageBox>
#include <QPointer>
#include <QSpacerItem>
#include <QUrl>
#include <algorithm>

using namespace WindowRoutines;

namespace {
// Seldom enough to cost nothing, often enough that the operator is not left without a way in.
constexpr int trayWatchMilliseconds = 2000;
} // namespace

DesktopView::DesktopView(std::function<bool()> trayProbe)
    : trayProbe_(std::move(trayProbe)), trayAvailable_(trayProbe_()) {
    trayWatch_.setInterval(trayWatchMilliseconds);
    QObject::connect(&trayWatch_, &QTimer::timeout, [this] { checkTray(); });
}

DesktopView::DesktopView(bool trayAvailable)
    : DesktopView([trayAvailable] { return trayAvailable; }) {}

DesktopView::~DesktopView() = default;

void DesktopView::attach(MonitorModel& monitor) {
    main_ = std::make_unique<frmMain>(monitor, trayAvailable_);
    tray_ = std::make_unique<frmTrayMenu>(main_->windowIcon());
    // The tray asks and the window answers; showing it counts as having seen the alert.
    QObject::connect(tray_.get(), &frmTrayMenu::showHideRequested, main_.get(), [this] {
        if (main_->showOrHide())
            NotifyOFF();
    });
    // The tooltip tells monitors apart and counts the tasks down while the icon flashes.
    QObject::connect(main_.get(), &frmMain::summaryChanged, tray_.get(), &frmTrayMenu::setToolTip);
    QObject::connect(tray_.get(), &frmTrayMenu::exitRequested, main_.get(),
                     [&monitor] { monitor.shutDown(); });
    // The session ending is the system shutting down or the user logging off.
    QObject::connect(qApp, &QGuiApplication::commitDataRequest, main_.get(),
                     [&monitor] { monitor.closeRule(CloseReason::SystemShutdown); });
    // Without a tray, looking at the window is the only way to take note of a failure.
    main_->activatedWithoutTray = [this] { NotifyOFF(); };
    trayWatch_.start();
}

void DesktopView::checkTray() {
    const bool available = trayProbe_();
    if (available == trayAvailable_)
        return;
    trayAvailable_ = available;
    if (main_)
        main_->setTrayAvailable(available);
}

void DesktopView::showMessage(const QString& text) {
    // Nothing may cover a box that waits for the operator: the topmost splash goes first.
    closeSplash();
    QWidget* owner = main_ && main_->isVisible() && !main_->isMinimized() ? main_.get() : nullptr;
    const QString title = QString::fromUtf8(Version::productName);
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, owner);
    // Modal to the main window alone, so that the tray's menu stays usable; with no owner it
    // blocks nothing and the monitor's windows all stay reachable.
    box.setWindowModality(Qt::WindowModal);
    // A box sized to its text alone can be narrower than its title: "Log file deleted." read
    // "P... ix". Room for the title and the window manager's buttons beside it.
    const int width =
        std::max(twipsToPixelsX(&box, 3600),
                 box.fontMetrics().horizontalAdvance(title) + twipsToPixelsX(&box, 2400));
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
        grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                      grid->rowCount(), 0, 1, grid->columnCount());
    // In front and with the keyboard, whatever window was active before.
    QTimer::singleShot(0, &box, [&box] {
        box.raise();
        box.activateWindow();
    });
    ++messagesWaiting_;
    box.exec();
    --messagesWaiting_;
}

void DesktopView::startUpEnded() {
    // Start-up, with any message box it showed, is over: now the splash is the first window
    // on top. A box still waiting (start-up cut short inside it) keeps the splash away.
    if (!main_ || messagesWaiting_ > 0)
        return;
    splash_ = std::make_unique<frmSplash>(main_->windowIcon());
    splash_->show();
    // Start-up may have shown the main window; the key press that closes the splash must
    // reach the splash.
    splash_->raise();
    splash_->activateWindow();
    QTimer::singleShot(0, splash_.get(), [this] {
        if (splash_ && splash_->isVisible())
            splash_->activateWindow();
    });
    if (!trayAvailable_)
        main_->showNoTrayNotice();
}

void DesktopView::closeSplash() {
    if (splash_ && splash_->isVisible())
        splash_->close();
}

void DesktopView::openFile(const QString& path) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void DesktopView::prepareMainWindow() {
    if (main_)
        main_->prepare();
}

void DesktopView::showTray() {
    if (tray_)
        tray_->Form_Load();
}

void DesktopView::setTitle(const QString& title) {
    if (main_)
        main_->setBaseTitle(title);
}

void DesktopView::nameConfiguration(const QString& iniPath, const QString& title) {
    if (main_)
        main_->nameConfiguration(iniPath, title);
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
        main_->setStatusLine(text);
}

void DesktopView::NotifyON() {
    if (tray_)
        tray_->NotifyON();
    // Without a flashing icon, the window asks for attention itself (its urgency hint).
    if (!trayAvailable_ && main_)
        QApplication::alert(main_.get());
}

void DesktopView::NotifyOFF() {
    if (tray_)
        tray_->NotifyOFF();
}

void DesktopView::unloadAll() {
    trayWatch_.stop();
    closeSplash();
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

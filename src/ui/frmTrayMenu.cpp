#include "ui/frmTrayMenu.h"

#include "platform/Version.h"
#include "ui/AppIcons.h"

#include <QApplication>
#include <QStyleHints>
#include <cstdlib>

frmTrayMenu::frmTrayMenu(const QIcon& normalIcon, Clock& clock, QObject* parent)
    : QObject(parent), tmrNotify(clock), clock_(clock),
      toolTip_(QString::fromUtf8(Version::productName)),
      normalIcon_(normalIcon.isNull() ? AppIcons::normalIcon() : normalIcon),
      pctDown_(AppIcons::failureIcon()) {
    setObjectName(QStringLiteral("frmTrayMenu"));
    beep = [] { QApplication::beep(); };
    mnuOptions.setObjectName(QStringLiteral("mnuOptions"));
    mnuOptions.setTitle(QStringLiteral("Options"));
    mnuShow = mnuOptions.addAction(QStringLiteral("&Show/Hide"));
    mnuShow->setObjectName(QStringLiteral("mnuShow"));
    mnuNotifyOff = mnuOptions.addAction(QStringLiteral("Turn &Off Notification"));
    mnuNotifyOff->setObjectName(QStringLiteral("mnuNotifyOff"));
    mnuNotifyOff->setEnabled(false);
    mnuOptions.addSeparator()->setObjectName(QStringLiteral("mnuSep1"));
    mnuExit = mnuOptions.addAction(QStringLiteral("E&xit"));
    mnuExit->setObjectName(QStringLiteral("mnuExit"));

    tmrNotify.setInterval(1000);
    connect(&tmrNotify, &ClockTimer::timeout, this, &frmTrayMenu::tmrNotify_Timer);
    // The menu is a gesture of its own: an icon activation after it is never taken as its echo.
    connect(mnuShow, &QAction::triggered, this, [this] {
        toggled_ = false;
        mnuShow_Click();
    });
    connect(mnuNotifyOff, &QAction::triggered, this, &frmTrayMenu::mnuNotifyOff_Click);
    connect(mnuExit, &QAction::triggered, this, &frmTrayMenu::mnuExit_Click);
    connect(&trayIcon, &QSystemTrayIcon::activated, this, &frmTrayMenu::pichook_MouseMove);
}

frmTrayMenu::~frmTrayMenu() {
    trayIcon.hide();
}

void frmTrayMenu::Form_Load() {
    setIcon(false);
    trayIcon.setToolTip(toolTip_);
    // The right button opens the menu; the notification area does that itself.
    trayIcon.setContextMenu(&mnuOptions);
    trayIcon.show();
}

void frmTrayMenu::setIcon(bool failure) {
    showingFailure_ = failure;
    trayIcon.setIcon(failure ? pctDown_ : normalIcon_);
}

void frmTrayMenu::setToolTip(const QString& text) {
    toolTip_ = text;
    trayIcon.setToolTip(text);
}

void frmTrayMenu::pichook_MouseMove(QSystemTrayIcon::ActivationReason reason) {
    // Hosts that speak the StatusNotifierItem protocol send one activation for a click and know
    // no double-click; an embedded tray icon reports a double-click as Trigger, Trigger,
    // DoubleClick. So either activates, and one that comes within the double-click interval of
    // an activation that acted belongs to the same gesture: the window toggles once per gesture
    // on both kinds of host. The middle button and the context request do nothing here.
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
        const qint64 now = clock_.now();
        const bool sameGesture =
            toggled_ &&
            now - lastToggle_ < QGuiApplication::styleHints()->mouseDoubleClickInterval();
        if (!sameGesture) {
            toggled_ = true;
            lastToggle_ = now;
            mnuShow_Click();
        }
    }
}

void frmTrayMenu::mnuShow_Click() {
    Q_EMIT showHideRequested();
}

void frmTrayMenu::NotifyON() {
    if (!tmrNotify.isActive())
        tmrNotify.start();
    mnuNotifyOff->setEnabled(true);
}

void frmTrayMenu::NotifyOFF() {
    tmrNotify.stop();
    setIcon(false);
    mnuNotifyOff->setEnabled(false);
}

void frmTrayMenu::tmrNotify_Timer() {
    FlashPhase = static_cast<qint16>(std::abs(FlashPhase - 1));
    setIcon(FlashPhase == 1);
    if (beep)
        beep();
}

void frmTrayMenu::mnuNotifyOff_Click() {
    NotifyOFF();
}

void frmTrayMenu::mnuExit_Click() {
    Form_QueryUnload();
}

void frmTrayMenu::removeIcon() {
    trayIcon.hide();
}

void frmTrayMenu::Form_QueryUnload() {
    removeIcon();
    Q_EMIT exitRequested();
}

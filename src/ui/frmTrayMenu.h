#pragma once

#include "platform/Clock.h"

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <functional>

// The monitor's icon in the notification area, its Options menu, and the failure
// notification: while notifying, the icon alternates with the failure icon and beeps once a
// second. It asks for the window to be shown or hidden and for the monitor to end; the desktop
// view answers, so the tray knows no window.
class frmTrayMenu final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(frmTrayMenu)

  public:
    explicit frmTrayMenu(const QIcon& normalIcon, Clock& clock = Clock::system(),
                         QObject* parent = nullptr);
    ~frmTrayMenu() override;

    void Form_Load();
    void NotifyON();
    void NotifyOFF();
    // The tray's closing: the icon goes first, then the request to shut the monitor down.
    void Form_QueryUnload();
    void removeIcon();

    void pichook_MouseMove(QSystemTrayIcon::ActivationReason reason);
    // What the icon says when pointed at; kept across Form_Load.
    void setToolTip(const QString& text);
    void mnuShow_Click();
    void mnuNotifyOff_Click();
    void mnuExit_Click();
    void tmrNotify_Timer();

    bool showsFailureIcon() const { return showingFailure_; }

    QSystemTrayIcon trayIcon;
    QMenu mnuOptions;
    QAction* mnuShow;
    QAction* mnuNotifyOff;
    QAction* mnuExit;
    ClockTimer tmrNotify;
    qint16 FlashPhase = 0;

    std::function<void()> beep;

  Q_SIGNALS:
    void showHideRequested();
    void exitRequested();

  private:
    void setIcon(bool failure);

    Clock& clock_;
    qint64 lastToggle_ = 0;
    bool toggled_ = false;
    QString toolTip_;
    QIcon normalIcon_;
    QIcon pctDown_;
    bool showingFailure_ = false;
};

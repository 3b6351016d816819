#pragma once

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>
#include <functional>

// The monitor's icon in the notification area, its Options menu, and the failure
// notification: while notifying, the icon alternates with the failure icon and beeps once a
// second.
class frmTrayMenu final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(frmTrayMenu)

  public:
    explicit frmTrayMenu(QWidget* mainWindow, QObject* parent = nullptr);
    ~frmTrayMenu() override;

    void Form_Load();
    void NotifyON();
    void NotifyOFF();
    // The tray's closing: the icon goes first, then the monitor shuts down.
    void Form_QueryUnload();
    void removeIcon();

    void pichook_MouseMove(QSystemTrayIcon::ActivationReason reason);
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
    QTimer tmrNotify;
    qint16 FlashPhase = 0;
    bool TrayBusy = false;

    std::function<void()> beep;
    std::function<void()> ShutDownMonitor;

  private:
    void setIcon(bool failure);

    QWidget* mainWindow_;
    QIcon normalIcon_;
    QIcon pctDown_;
    bool showingFailure_ = false;
};

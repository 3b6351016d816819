#pragma once

#include "core/View.h"

#include <QTimer>
#include <functional>
#include <memory>

struct MonitorModel;
class frmMain;
class frmSplash;
class frmTrayMenu;

// The engine's view on the desktop: the main window, the tray, the splash and message boxes.
class DesktopView final : public View {
  public:
    // trayProbe tells whether a notification area is there now; it is asked again while the
    // monitor runs, since the panel that holds the area can go away and come back.
    explicit DesktopView(std::function<bool()> trayProbe);
    explicit DesktopView(bool trayAvailable);
    ~DesktopView() override;
    DesktopView(const DesktopView&) = delete;
    DesktopView& operator=(const DesktopView&) = delete;

    // Builds the windows around the monitor; runs before its start-up.
    void attach(MonitorModel& monitor);

    frmMain* mainWindow() const { return main_.get(); }
    frmTrayMenu* trayMenu() const { return tray_.get(); }
    frmSplash* splash() const { return splash_.get(); }
    bool trayAvailable() const { return trayAvailable_; }
    // Asks the probe again and follows a notification area that came or went.
    void checkTray();

    // LogPresenter
    void showMessage(const QString& text) override;
    void openFile(const QString& path) override;
    // View
    void prepareMainWindow() override;
    void showTray() override;
    void setTitle(const QString& title) override;
    void nameConfiguration(const QString& iniPath, const QString& title) override;
    void applyWindowState(WindowState state) override;
    void setLoggingChecked(bool checked) override;
    void setStatusLine(const QString& text) override;
    void NotifyON() override;
    void NotifyOFF() override;
    void unloadAll() override;
    void startUpEnded() override;

  private:
    void closeSplash();

    std::function<bool()> trayProbe_;
    bool trayAvailable_;
    std::unique_ptr<frmMain> main_;
    std::unique_ptr<frmTrayMenu> tray_;
    std::unique_ptr<frmSplash> splash_;
    QTimer trayWatch_;
    int messagesWaiting_ = 0;
};

#pragma once

#include "View.h"

#include <memory>

class Monitor;
class frmMain;
class frmTrayMenu;

// The engine's view on the desktop: the main window, the tray and message boxes.
class DesktopView final : public View {
  public:
    explicit DesktopView(bool trayAvailable);
    ~DesktopView() override;
    DesktopView(const DesktopView&) = delete;
    DesktopView& operator=(const DesktopView&) = delete;

    // Builds the windows around the monitor; runs before its start-up.
    void attach(Monitor& monitor);

    frmMain* mainWindow() const { return main_.get(); }
    frmTrayMenu* trayMenu() const { return tray_.get(); }
    bool trayAvailable() const { return trayAvailable_; }

    // LogPresenter
    void showMessage(const QString& text) override;
    void openFile(const QString& path) override;
    // View
    void applyFlatLook() override;
    void showTray() override;
    void setTitle(const QString& title) override;
    void setListCaptions(const QString& up, const QString& down) override;
    void applyWindowState(WindowState state) override;
    void setLoggingChecked(bool checked) override;
    void setStatusLine(const QString& text) override;
    void NotifyON() override;
    void NotifyOFF() override;
    void unloadAll() override;

  private:
    bool trayAvailable_;
    std::unique_ptr<frmMain> main_;
    std::unique_ptr<frmTrayMenu> tray_;
};

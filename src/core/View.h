#pragma once

#include "log/Log.h"

#include <QString>

// Everything the engine asks of the user interface. The desktop implements it with widgets;
// headless mode writes message texts to standard error and ignores the rest.
class View : public LogPresenter {
  public:
    enum class WindowState { Hidden, Normal, Maximised };

    // The first step of start-up: the desktop dresses its main window (its look, its captions).
    virtual void prepareMainWindow() = 0;
    virtual void showTray() = 0;
    virtual void setTitle(const QString& title) = 0;
    // The INI file read and its TITLE value (either may be empty), for telling monitors apart.
    virtual void nameConfiguration(const QString& /*iniPath*/, const QString& /*title*/) {}
    virtual void applyWindowState(WindowState state) = 0;
    virtual void setLoggingChecked(bool checked) = 0;
    virtual void setStatusLine(const QString& text) = 0;
    virtual void NotifyON() = 0;
    virtual void NotifyOFF() = 0;
    // Closes every window (the tray icon is removed first).
    virtual void unloadAll() = 0;
    // Start-up has run to its end, message boxes included: the desktop shows its splash now.
    virtual void startUpEnded() {}
};

class HeadlessView final : public View {
  public:
    void showMessage(const QString& text) override;
    void openFile(const QString& path) override;
    void prepareMainWindow() override {}
    void showTray() override {}
    void setTitle(const QString&) override {}
    void applyWindowState(WindowState) override {}
    void setLoggingChecked(bool) override {}
    void setStatusLine(const QString&) override {}
    void NotifyON() override {}
    void NotifyOFF() override {}
    void unloadAll() override {}
};

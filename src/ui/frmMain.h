#pragma once

#include "core/View.h"
#include "ui/frmViewLog.h"

#include <QMainWindow>
#include <QPointer>
#include <QTimer>
#include <functional>

struct MonitorModel;
class QAction;
class QDate;
class QLabel;
class QListView;
class frmViewTask;

// The main window: the Up and Down lists, the status line and the File and Logs menus.
// Closing it only hides it (or minimises it where there is no notification area to come
// back from); the monitor ends from the tray, or from File > Exit where there is no tray.
class frmMain final : public QMainWindow {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(frmMain)

  public:
    frmMain(MonitorModel& monitor, bool trayAvailable, QWidget* parent = nullptr);
    ~frmMain() override;

    // List sizes, in twips, for an outer window size of W by H twips (already at the minimum).
    struct ListSize {
        double width = 0;
        double height = 0;
    };
    static ListSize listSizeFor(double W, double H);
    static constexpr double minimumSide = 2700;

    // Shows the task in the details window. A selection leaves the keyboard where it is, so the
    // next arrow key still reaches the list; takeFocus moves it into the window (Enter).
    void ShowTaskDetails(qint32 taskId, bool takeFocus = false);
    // Steps of View Current for any date: a fresh viewer holding that day's log.
    void viewLogOf(const QDate& date);
    void applyWindowState(View::WindowState state);
    void setBaseTitle(const QString& title);
    // Names the configuration in the title and the summary, so that monitors side by side can
    // be told apart: the TITLE value, else the INI file's name without its extension.
    void nameConfiguration(const QString& iniPath, const QString& title);
    static QString configurationLabel(const QString& iniPath, const QString& title);
    // The product, the configuration and the tasks down, for the tray's tooltip.
    QString summary() const;
    void setStatusLine(const QString& text);
    // The first step of start-up: the thin edges and the captions beside the lists.
    void prepare();
    // The tray's Show/Hide: hides a shown window, or brings a hidden or minimised one back in
    // front of everything, active and not minimised. Returns whether the window is shown now.
    bool showOrHide();
    void bringBack();

    // Switches between life beside a notification area and life without one: a window of the
    // task bar that File > Exit ends, that shows the count of tasks down in its title, and
    // that is shown when the tray it was hidden in goes away.
    void setTrayAvailable(bool available);
    bool trayAvailable() const { return trayAvailable_; }
    // Says in the status line, for a while, that there is no notification area.
    void showNoTrayNotice();
    static QString noTrayNotice();
    // Run when the operator activates the window while there is no tray.
    std::function<void()> activatedWithoutTray;

    frmViewTask* viewTask() const { return viewTask_; }
    frmViewLog* viewLog() const { return viewLog_; }
    void closeViewLog();

    // Outer size in twips, title bar, border and menu bar included.
    double Width() const;
    double Height() const;

    QLabel* Label1;
    QLabel* lblUP;
    QLabel* lblDown;
    QListView* List1;
    QListView* List2;
    QAction* mnuFileExit;
    QAction* mnuLogsView;
    QAction* mnuLogsDelete;
    QAction* mnuLogsViewDate;
    QAction* mnuLogsPurge;
    QAction* mnuLogsDisable;

    // The View by Date question; replaceable so that a caller can answer without a dialog.
    std::function<QString(const QString& defaultReply, bool* ok)> askDate;
    static QString shortDateText(const QDate& date);
    static QDate readDate(const QString& reply);

  Q_SIGNALS:
    void summaryChanged(const QString& summary);

  protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    void buildMenus();
    void watchSelection(QListView* list, QListView* other);
    void updateTitle();
    void mnuFileExit_Click();
    void Form_Resize();
    void listClicked(const QModelIndex& index, bool takeFocus);
    void mnuLogsView_Click();
    void mnuLogsViewDate_Click();
    void mnuLogsDisable_Click(bool checked);
    QString askDateWithDialog(const QString& defaultReply, bool* ok);

    MonitorModel& monitor_;
    bool trayAvailable_;
    frmViewTask* viewTask_ = nullptr;
    QPointer<frmViewLog> viewLog_;
    quint64 viewGeneration_ = 0;
    bool centred_ = false;
    bool wasMaximised_ = false; // in the last state that was not minimised
    QString baseTitle_;
    QString label_;
    QString statusText_;
    QTimer noticeTimer_;
};

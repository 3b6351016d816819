#pragma once

#include <QDialog>

class Log;
class QLabel;
class QPushButton;
class ValueField;
class TaskFunctions;
class TaskTable;

// One task's record as it was when the window was filled, with a manual Restart for a task
// that is down. Wider than its design, and as wide as the operator drags it, so that a typical
// command shows whole; a longer one is elided with the whole text in its tooltip.
class frmViewTask final : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(frmViewTask)

  public:
    frmViewTask(TaskTable& tasks, TaskFunctions& functions, Log& log, QWidget* parent = nullptr);

    qint32 Taskindex = 0;
    void Form_Load();

    ValueField* lblTaskName;
    ValueField* lblPathAndFile;
    ValueField* lblProcessHandle;
    ValueField* lblRestart;
    ValueField* lblStatus;

    // Client widths in twips: the design's, and the one the window opens with.
    static constexpr int designWidth = 4680;
    static constexpr int openingWidth = 7080;
    QPushButton* cmdRestart;
    QPushButton* cmdOK;

  protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    void cmdRestart_Click();
    void placeBesideOwner();
    void place(QWidget* widget, const char* name, int left, int top, int width, int height);
    ValueField* addValue(const char* name, int top, Qt::TextElideMode mode);

    TaskTable& tasks_;
    TaskFunctions& functions_;
    Log& log_;
};

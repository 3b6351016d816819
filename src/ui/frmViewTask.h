#pragma once

#include <QDialog>

class Log;
class QLabel;
class QPushButton;
class TaskFunctions;
class TaskTable;

// One task's record as it was when the window was filled, with a manual Restart for a task
// that is down.
class frmViewTask final : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(frmViewTask)

  public:
    frmViewTask(TaskTable& tasks, TaskFunctions& functions, Log& log, QWidget* parent = nullptr);

    qint32 Taskindex = 0;
    void Form_Load();

    QLabel* lblTaskName;
    QLabel* lblPathAndFile;
    QLabel* lblProcessHandle;
    QLabel* lblRestart;
    QLabel* lblStatus;
    QPushButton* cmdRestart;
    QPushButton* cmdOK;

  private:
    void cmdRestart_Click();
    QLabel* addLabel(const char* name, int left, int top, int width, int height);

    TaskTable& tasks_;
    TaskFunctions& functions_;
    Log& log_;
};

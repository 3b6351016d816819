#include "frmViewTask.h"

#include "Log.h"
#include "RuntimeError.h"
#include "TaskFunctions.h"
#include "TaskTable.h"
#include "WindowRoutines.h"

#include <QLabel>
#include <QPushButton>

using namespace WindowRoutines;

frmViewTask::frmViewTask(TaskTable& tasks, TaskFunctions& functions, Log& log, QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      tasks_(tasks), functions_(functions), log_(log) {
    setObjectName(QStringLiteral("frmViewTask"));
    setWindowTitle(QStringLiteral("View Task"));
    setFixedSize(twipsToPixelsX(this, 4680), twipsToPixelsY(this, 2040));

    setFont(designFont(QStringLiteral("MS Sans Serif"), 8.25));
    lblTaskName = addLabel("lblTaskName", 90, 90, 4515, 315);
    lblTaskName->setFont(designFont(QStringLiteral("MS Sans Serif"), 9.75, true));
    addLabel("lblCommandCaption", 60, 465, 975, 285)->setText(QStringLiteral("Command:"));
    lblPathAndFile = addLabel("lblPathAndFile", 1170, 465, 3495, 285);
    addLabel("lblHandleCaption", 60, 735, 975, 285)->setText(QStringLiteral("Handle:"));
    lblProcessHandle = addLabel("lblProcessHandle", 1170, 735, 3495, 285);
    addLabel("lblRestartCaption", 60, 990, 1275, 285)->setText(QStringLiteral("Auto Re-Start:"));
    lblRestart = addLabel("lblRestart", 1170, 990, 3495, 285);
    addLabel("lblStatusCaption", 60, 1260, 975, 285)->setText(QStringLiteral("Status:"));
    lblStatus = addLabel("lblStatus", 1170, 1260, 3495, 285);

    const auto button = [this](const char* name, const QString& caption, int left) {
        auto* b = new QPushButton(caption, this);
        b->setObjectName(QString::fromLatin1(name));
        b->setGeometry(twipsToPixelsX(this, left), twipsToPixelsY(this, 1560),
                       twipsToPixelsX(this, 1035), twipsToPixelsY(this, 405));
        // Neither button answers Enter or Escape on its own.
        b->setAutoDefault(false);
        b->setDefault(false);
        return b;
    };
    cmdRestart = button("cmdRestart", QStringLiteral("Restart"), 2460);
    cmdOK = button("cmdOK", QStringLiteral("OK"), 3570);
    setTabOrder(cmdOK, cmdRestart);

    connect(cmdOK, &QPushButton::clicked, this, &QWidget::close);
    connect(cmdRestart, &QPushButton::clicked, this, &frmViewTask::cmdRestart_Click);
}

QLabel* frmViewTask::addLabel(const char* name, int left, int top, int width, int height) {
    auto* label = new QLabel(this);
    label->setObjectName(QString::fromLatin1(name));
    label->setGeometry(twipsToPixelsX(this, left), twipsToPixelsY(this, top),
                       twipsToPixelsX(this, width), twipsToPixelsY(this, height));
    return label;
}

void frmViewTask::Form_Load() {
    FlatLook(this);
    FlatLook(cmdRestart);
    FlatLook(cmdOK);
    if (Taskindex < 1 || Taskindex > tasks_.upperBound())
        return;
    const TaskRecord& task = tasks_[Taskindex];
    lblTaskName->setText(task.TaskName.toUpper());
    lblPathAndFile->setText(task.PathAndFile);
    lblProcessHandle->setText(QString::number(task.ProcessId));
    lblStatus->setText(task.IsUp ? QStringLiteral("UP") : QStringLiteral("DOWN"));
    lblRestart->setText(task.AutoRestart ? QStringLiteral("YES") : QStringLiteral("NO"));
    cmdRestart->setVisible(!task.IsUp);
}

void frmViewTask::cmdRestart_Click() {
    // The window is a snapshot: a task that came back up since it was filled (an automatic
    // restart) must not get a second copy, whose predecessor would run on unsupervised.
    const bool upByNow =
        Taskindex >= 1 && Taskindex <= tasks_.upperBound() && tasks_[Taskindex].IsUp;
    try {
        if (!upByNow)
            functions_.RestartTask(Taskindex);
    } catch (const RuntimeError& error) {
        log_.WriteLog(error.description());
    }
    close();
}

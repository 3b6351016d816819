#include "ui/frmViewTask.h"

#include "log/Guarded.h"
#include "tasks/TaskFunctions.h"
#include "tasks/TaskTable.h"
#include "ui/ValueField.h"
#include "ui/WindowRoutines.h"

#include <QLabel>
#include <QPushButton>

using namespace WindowRoutines;

frmViewTask::frmViewTask(TaskTable& tasks, TaskFunctions& functions, Log& log, QWidget* parent)
    : QDialog(parent,
              Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      tasks_(tasks), functions_(functions), log_(log) {
    setObjectName(QStringLiteral("frmViewTask"));
    setWindowTitle(QStringLiteral("View Task"));
    // Resizable sideways only: the rows have a fixed height.
    const int height = twipsToPixelsY(this, 2040);
    setMinimumSize(twipsToPixelsX(this, designWidth), height);
    setMaximumHeight(height);

    setFont(designFont(QStringLiteral("MS Sans Serif"), 8.25));
    lblTaskName = addValue("lblTaskName", 90, Qt::ElideRight);
    lblTaskName->setFont(designFont(QStringLiteral("MS Sans Serif"), 9.75, true));
    const auto caption = [this](const char* name, const char* text, int top, int width) {
        auto* label = new QLabel(QString::fromLatin1(text), this);
        place(label, name, 60, top, width, 285);
    };
    caption("lblCommandCaption", "Command:", 465, 975);
    // A command's program and its last arguments say the most; the middle goes first.
    lblPathAndFile = addValue("lblPathAndFile", 465, Qt::ElideMiddle);
    caption("lblHandleCaption", "Handle:", 735, 975);
    lblProcessHandle = addValue("lblProcessHandle", 735, Qt::ElideRight);
    caption("lblRestartCaption", "Auto Re-Start:", 990, 1275);
    lblRestart = addValue("lblRestart", 990, Qt::ElideRight);
    caption("lblStatusCaption", "Status:", 1260, 975);
    lblStatus = addValue("lblStatus", 1260, Qt::ElideRight);

    const auto button = [this](const char* name, const QString& caption, int left) {
        auto* b = new QPushButton(caption, this);
        place(b, name, left, 1560, 1035, 405);
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
    // Beside the owner, by its real outer size, which is known only once decorated: centred,
    // it would cover most of the Up list that the operator browses with it.
    onFrameChange(this, [this] { placeBesideOwner(); });
    resize(twipsToPixelsX(this, openingWidth), height);
}

void frmViewTask::place(QWidget* widget, const char* name, int left, int top, int width,
                        int height) {
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(twipsToPixelsX(this, left), twipsToPixelsY(this, top),
                        twipsToPixelsX(this, width), twipsToPixelsY(this, height));
}

ValueField* frmViewTask::addValue(const char* name, int top, Qt::TextElideMode mode) {
    auto* field = new ValueField(mode, this);
    const bool title = top == 90;
    place(field, name, title ? 90 : 1170, top, title ? 4515 : 3495, title ? 315 : 285);
    return field;
}

void frmViewTask::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    // The values take the width; the buttons keep their distance from the right edge.
    const int right = width() - twipsToPixelsX(this, 75);
    lblTaskName->resize(right - lblTaskName->x(), lblTaskName->height());
    for (ValueField* value : {lblPathAndFile, lblProcessHandle, lblRestart, lblStatus})
        value->resize(right - value->x(), value->height());
    cmdOK->move(right - cmdOK->width(), cmdOK->y());
    cmdRestart->move(cmdOK->x() - twipsToPixelsX(this, 75) - cmdRestart->width(), cmdRestart->y());
}

void frmViewTask::showEvent(QShowEvent* event) {
    QDialog::showEvent(event); // which centres a dialog on its owner
    placeBesideOwner();
}

void frmViewTask::placeBesideOwner() {
    const QWidget* owner = parentWidget();
    if (owner == nullptr || !owner->isVisible())
        return;
    placeBeside(this, owner);
}

void frmViewTask::Form_Load() {
    FlatLook(this);
    FlatLook(cmdRestart);
    FlatLook(cmdOK);
    if (Taskindex < 1 || Taskindex > tasks_.upperBound())
        return;
    const TaskRecord& task = tasks_[Taskindex];
    lblTaskName->setValue(task.TaskName.toUpper());
    lblPathAndFile->setValue(task.PathAndFile);
    lblProcessHandle->setValue(QString::number(task.ProcessId));
    lblStatus->setValue(task.IsUp ? QStringLiteral("UP") : QStringLiteral("DOWN"));
    // Why the last process ended, without moving what the window lays out: on the caption, since
    // the value's own tooltip shows its elided text.
    if (auto* caption = findChild<QLabel*>(QStringLiteral("lblStatusCaption"))) {
        QStringList notes;
        if (task.lastExit)
            notes << QStringLiteral("Last exit: ") + task.lastExit->exitText();
        if (task.health.configured)
            notes << (task.health.unhealthy ? QStringLiteral("Health: unhealthy (")
                                            : QStringLiteral("Health: healthy (")) +
                         QString::number(task.health.failuresTotal) +
                         QStringLiteral(" failed checks") +
                         (task.health.lastReason.isEmpty()
                              ? QString()
                              : QStringLiteral("; last: ") + task.health.lastReason) +
                         QLatin1Char(')');
        // What the task runs with (user, directory, environment...), as the service manager's
        // operator would look for it.
        if (const QString options = task.options.describe(); !options.isEmpty())
            notes << QStringLiteral("Options: ") + options;
        caption->setToolTip(notes.join(QLatin1Char('\n')));
    }
    lblRestart->setValue(task.AutoRestart ? QStringLiteral("YES") : QStringLiteral("NO"));
    cmdRestart->setVisible(!task.IsUp);
}

void frmViewTask::cmdRestart_Click() {
    // The window is a snapshot: a task that came back up since it was filled (an automatic
    // restart) must not get a second copy, whose predecessor would run on unsupervised.
    const bool upByNow =
        Taskindex >= 1 && Taskindex <= tasks_.upperBound() && tasks_[Taskindex].IsUp;
    guarded(log_, [this, upByNow] {
        if (!upByNow)
            functions_.RestartTask(Taskindex);
    });
    close();
}

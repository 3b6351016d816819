#include "DesktopFixture.h"
#include "frmViewTask.h"

#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QTest>
#include <csignal>

namespace {

// Clicks the first item of a list, as the operator selects a task.
void clickFirstItem(QListView* list) {
    const QRect rect = list->visualRect(list->model()->index(0, 0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
}

} // namespace

class TaskWindowsTest : public DesktopFixture {
  protected:
    // Kills the task and waits until the monitor has moved it to the Down list.
    void killTask(int index) {
        ::kill(monitor->tasks()[index].ProcessId, SIGKILL);
        ASSERT_TRUE(testsupport::waitUntil([&] { return monitor->downList().count() == 1; }));
    }
};

// The details of an up task and of one that died, the tray flashing while it is down, Restart
// bringing it back, a stale Restart starting no second copy, and a failed launch still closing.
TEST_F(TaskWindowsTest, FailureAndRestartSeenFromTheWindows) {
    const QString program = dir.filePath(QStringLiteral("napper"));
    ASSERT_TRUE(QFile::copy(QStringLiteral("/bin/sleep"), program));
    // The Up list shows the latest start on top: the sleeper.
    startWithIni(
        ("START=" + program + " 3600,Napper,,False\nSTART=sleep 3600,sleeper,,True\n").toUtf8());
    frmMain& window = main();
    ASSERT_EQ(monitor->upList().count(), 2);
    EXPECT_FALSE(tray().tmrNotify.isActive());

    clickFirstItem(window.List1);
    frmViewTask* details = window.viewTask();
    ASSERT_TRUE(details->isVisible());
    EXPECT_EQ(details->windowTitle(), QStringLiteral("View Task"));
    EXPECT_EQ(details->lblTaskName->text(), QStringLiteral("SLEEPER"));
    EXPECT_EQ(details->lblPathAndFile->text(), QStringLiteral("sleep 3600"));
    EXPECT_EQ(details->lblProcessHandle->text(), QString::number(monitor->tasks()[2].ProcessId));
    EXPECT_EQ(details->lblStatus->text(), QStringLiteral("UP"));
    EXPECT_EQ(details->lblRestart->text(), QStringLiteral("YES"));
    EXPECT_FALSE(details->cmdRestart->isVisibleTo(details));

    killTask(1);
    EXPECT_EQ(monitor->upList().count(), 1);
    EXPECT_TRUE(tray().tmrNotify.isActive());
    EXPECT_TRUE(tray().mnuNotifyOff->isEnabled());

    // Selecting the other task refills the same window: labels and button stay together.
    clickFirstItem(window.List2);
    EXPECT_EQ(window.findChildren<frmViewTask*>().size(), 1);
    EXPECT_EQ(details->lblTaskName->text(), QStringLiteral("NAPPER"));
    EXPECT_EQ(details->lblStatus->text(), QStringLiteral("DOWN"));
    EXPECT_EQ(details->lblRestart->text(), QStringLiteral("NO"));
    ASSERT_TRUE(details->cmdRestart->isVisibleTo(details));
    EXPECT_FALSE(details->cmdOK->isDefault());
    QTest::mouseClick(details->cmdRestart, Qt::LeftButton);
    EXPECT_FALSE(details->isVisible());
    EXPECT_EQ(monitor->upList().count(), 2);
    EXPECT_EQ(monitor->downList().count(), 0);
    EXPECT_TRUE(testsupport::waitUntil([&] { return !tray().tmrNotify.isActive(); }));
    EXPECT_FALSE(tray().showsFailureIcon());

    // A details window filled while the task was down, pressed after it came back up, does not
    // start a second copy.
    killTask(1);
    clickFirstItem(window.List2);
    monitor->taskFunctions().RestartTask(1);
    const qint32 running = monitor->tasks()[1].ProcessId;
    QTest::mouseClick(details->cmdRestart, Qt::LeftButton);
    EXPECT_FALSE(details->isVisible());
    EXPECT_EQ(monitor->tasks()[1].ProcessId, running);
    EXPECT_EQ(logText().count(QStringLiteral("RE-START: '")), 2);

    killTask(1);
    ASSERT_TRUE(QFile::remove(program));
    clickFirstItem(window.List2);
    QTest::mouseClick(details->cmdRestart, Qt::LeftButton);
    EXPECT_FALSE(details->isVisible());
    EXPECT_EQ(monitor->downList().count(), 1);
    EXPECT_TRUE(logText().contains(QStringLiteral("No such file or directory")));
    EXPECT_EQ(logText().count(QStringLiteral("RE-START: '")), 2);

    clickFirstItem(window.List1);
    QTest::mouseClick(details->cmdOK, Qt::LeftButton);
    EXPECT_FALSE(details->isVisible());
}

#include "DesktopFixture.h"
#include "ValueField.h"
#include "WindowRoutines.h"
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
    EXPECT_EQ(details->lblTaskName->value(), QStringLiteral("SLEEPER"));
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

// Arrows, Home and End open the details as a click does, in either list; nothing is marked
// before the operator selects, and one selection at a time is shown.
TEST_F(TaskWindowsTest, KeyboardSelectionOpensTheDetails) {
    startWithIni("START=sleep 3600,first,,False\nSTART=sleep 3601,second,,False\n"
                 "START=sleep 3602,third,,False\n");
    frmMain& window = main();
    frmViewTask* details = window.viewTask();
    // Gaining the focus makes no entry current, so the first Down selects the top entry.
    window.List1->setFocus(Qt::TabFocusReason);
    QApplication::processEvents();
    EXPECT_FALSE(window.List1->currentIndex().isValid());
    EXPECT_FALSE(details->isVisible());

    // The Up list shows the latest start on top.
    const struct {
        Qt::Key key;
        const char* task;
    } moves[] = {{Qt::Key_Down, "THIRD"}, {Qt::Key_Down, "SECOND"},    {Qt::Key_End, "FIRST"},
                 {Qt::Key_Home, "THIRD"}, {Qt::Key_PageDown, "FIRST"}, {Qt::Key_Up, "SECOND"}};
    for (const auto& move : moves) {
        details->close();
        QTest::keyClick(window.List1, move.key);
        EXPECT_TRUE(details->isVisible()) << move.task;
        EXPECT_EQ(details->lblTaskName->value(), QString::fromLatin1(move.task));
    }

    killTask(2);
    // The entry that took the dead task's place is not marked in its stead.
    QApplication::processEvents();
    EXPECT_FALSE(window.List1->currentIndex().isValid());
    QTest::keyClick(window.List2, Qt::Key_Down);
    EXPECT_EQ(details->lblTaskName->value(), QStringLiteral("SECOND"));
    EXPECT_EQ(details->lblStatus->value(), QStringLiteral("DOWN"));
    QTest::keyClick(window.List1, Qt::Key_Down);
    EXPECT_EQ(details->lblTaskName->value(), QStringLiteral("THIRD"));
    EXPECT_FALSE(window.List2->selectionModel()->hasSelection()) << "one selection at a time";
}

// A long command is elided, whole in its tooltip and whole once clicked for copying; a wider
// window shows it whole.
TEST_F(TaskWindowsTest, LongValuesAreElidedNeverCut) {
    // sleep adds up its arguments: a long command that runs.
    const QString command = QStringLiteral("sleep 3600") + QStringLiteral(" 0.5").repeated(40);
    startWithIni(("START=" + command + "," + QString(80, QLatin1Char('n')) + ",,False\n").toUtf8());
    clickFirstItem(main().List1);
    frmViewTask* details = main().viewTask();
    ASSERT_TRUE(details->isVisible());
    EXPECT_EQ(details->lblProcessHandle->toolTip(), QString()) << "short values stay whole";

    for (ValueField* field : {details->lblPathAndFile, details->lblTaskName}) {
        EXPECT_TRUE(field->isElided());
        EXPECT_TRUE(field->text().contains(QChar(0x2026)));
        EXPECT_LE(field->fontMetrics().horizontalAdvance(field->text()), field->width());
        EXPECT_EQ(field->toolTip(), field->value());
    }
    EXPECT_EQ(details->lblPathAndFile->value(), command);
    EXPECT_TRUE(details->lblPathAndFile->text().startsWith(QStringLiteral("sleep 3600")))
        << "the program stays in view";

    // A click gives the field the focus (sent here, as the window manager may keep another
    // window active): the whole text to select; leaving it elides it again.
    QFocusEvent focusIn(QEvent::FocusIn, Qt::MouseFocusReason);
    QApplication::sendEvent(details->lblPathAndFile, &focusIn);
    details->lblPathAndFile->selectAll();
    EXPECT_EQ(details->lblPathAndFile->selectedText(), command);
    QFocusEvent focusOut(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(details->lblPathAndFile, &focusOut);
    EXPECT_TRUE(details->lblPathAndFile->isElided());

    const int height = details->height();
    details->resize(details->fontMetrics().horizontalAdvance(command) * 2, height + 50);
    EXPECT_EQ(details->height(), height) << "resizable sideways only";
    EXPECT_FALSE(details->lblPathAndFile->isElided());
    EXPECT_EQ(details->cmdOK->geometry().right(),
              details->width() - 1 - WindowRoutines::twipsToPixelsX(details, 75));
}

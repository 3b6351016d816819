#include "DesktopFixture.h"
#include "ui/ValueField.h"
#include "ui/WindowRoutines.h"
#include "ui/frmViewTask.h"

#include <QGuiApplication>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QTest>
#include <csignal>

using namespace WindowRoutines;

class TaskWindowsTest : public DesktopFixture {
  protected:
    void clickFirstItem(QListView* list) {
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                          list->visualRect(list->model()->index(0, 0)).center());
    }
    // Kills the task and waits until the monitor has moved it to the Down list.
    void killTask(int index) {
        ::kill(monitor->tasks()[index].ProcessId, SIGKILL);
        ASSERT_TRUE(testsupport::waitUntil([&] { return monitor->downList().count() == 1; }));
    }
    frmViewTask& details() { return *main().viewTask(); }
};

// One details window, refilled per selection so its labels and its Restart button belong to one
// task; Restart brings a task back, a stale Restart starts no second copy, a failed one closes.
TEST_F(TaskWindowsTest, FailureAndRestartSeenFromTheWindows) {
    const QString program = dir.filePath("napper");
    ASSERT_TRUE(QFile::copy("/bin/sleep", program));
    startWithIni(
        ("START=" + program + " 3600,Napper,,False,umask=027\nSTART=sleep 3600,sleeper,,True\n")
            .toUtf8());
    clickFirstItem(main().List1); // the latest start is on top
    ASSERT_TRUE(details().isVisible());
    EXPECT_EQ(QStringList({details().lblTaskName->value(), details().lblPathAndFile->text(),
                           details().lblProcessHandle->text(), details().lblStatus->text(),
                           details().lblRestart->text()}),
              QStringList({"SLEEPER", "sleep 3600", QString::number(monitor->tasks()[2].ProcessId),
                           "UP", "YES"}));
    EXPECT_FALSE(details().cmdRestart->isVisibleTo(&details()));

    killTask(1);
    EXPECT_TRUE(tray().tmrNotify.isActive()) << "the failure reaches the tray";
    clickFirstItem(main().List2);
    EXPECT_EQ(main().findChildren<frmViewTask*>().size(), 1);
    EXPECT_EQ(details().lblTaskName->text() + details().lblStatus->text(), "NAPPERDOWN");
    EXPECT_EQ(details().findChild<QLabel*>("lblStatusCaption")->toolTip(),
              "Last exit: killed by signal 9 (SIGKILL)\nOptions: umask=027");
    ASSERT_TRUE(details().cmdRestart->isVisibleTo(&details()));
    EXPECT_FALSE(details().cmdOK->isDefault());
    QTest::mouseClick(details().cmdRestart, Qt::LeftButton);
    EXPECT_FALSE(details().isVisible());
    EXPECT_EQ(monitor->downList().count(), 0);
    EXPECT_TRUE(testsupport::waitUntil([&] { return !tray().tmrNotify.isActive(); }));

    killTask(1);
    clickFirstItem(main().List2);
    monitor->taskFunctions().RestartTask(1);
    const qint32 running = monitor->tasks()[1].ProcessId;
    QTest::mouseClick(details().cmdRestart, Qt::LeftButton);
    EXPECT_EQ(monitor->tasks()[1].ProcessId, running);
    EXPECT_EQ(logText().count("RE-START: '"), 2);

    killTask(1);
    ASSERT_TRUE(QFile::remove(program));
    clickFirstItem(main().List2);
    QTest::mouseClick(details().cmdRestart, Qt::LeftButton);
    EXPECT_FALSE(details().isVisible());
    EXPECT_EQ(monitor->downList().count(), 1);
    EXPECT_TRUE(logText().contains("No such file or directory"));
}

// Arrows, Home and End open the details as a click does, in either list, while the keyboard
// stays in the list, which shows that it has it; Enter moves it into the details. Nothing is
// marked before the operator selects, and one selection at a time is shown.
TEST_F(TaskWindowsTest, KeyboardSelectionOpensTheDetails) {
    startWithIni("START=sleep 3600,first,,False\nSTART=sleep 3601,second,,False\n"
                 "START=sleep 3602,third,,False\n");
    frmMain& window = main();
    ASSERT_TRUE(activateMain());
    window.List2->setFocus(Qt::TabFocusReason);
    const QImage unfocused = window.List1->grab().toImage();
    window.List1->setFocus(Qt::TabFocusReason);
    QApplication::processEvents();
    EXPECT_FALSE(window.List1->currentIndex().isValid()) << "the focus marks no entry";
    EXPECT_NE(window.List1->grab().toImage(), unfocused) << "the focus is seen";
    const std::pair<Qt::Key, QString> moves[] = {
        {Qt::Key_Down, "THIRD"}, {Qt::Key_Down, "SECOND"},    {Qt::Key_End, "FIRST"},
        {Qt::Key_Home, "THIRD"}, {Qt::Key_PageDown, "FIRST"}, {Qt::Key_Up, "SECOND"}};
    for (const auto& [key, task] : moves) {
        details().close();
        QTest::keyClick(window.List1, key);
        EXPECT_TRUE(details().isVisible()) << qPrintable(task);
        EXPECT_EQ(details().lblTaskName->value(), task);
    }
    // Once the window manager has taken the details window in, the keyboard is still here (the
    // offscreen platform activates every window it shows: only a real one can tell).
    if (QGuiApplication::platformName() != "offscreen") {
        ASSERT_TRUE(testsupport::waitUntil([&] { return !frameExtent(&details()).isNull(); }));
        QApplication::processEvents();
        EXPECT_TRUE(window.isActiveWindow());
        EXPECT_EQ(QApplication::focusWidget(), window.List1);
    }
    const QRect list = QRect(window.List1->mapToGlobal(QPoint(0, 0)), window.List1->size());
    EXPECT_FALSE(outerGeometry(&details()).intersects(list)) << "the Up list stays in view";
    QTest::keyClick(window.List1, Qt::Key_Return);
    EXPECT_TRUE(testsupport::waitUntil([&] { return details().isActiveWindow(); }));
    details().close();
    killTask(2);
    QApplication::processEvents();
    EXPECT_FALSE(window.List1->currentIndex().isValid()) << "no neighbour marked in its stead";
    QTest::keyClick(window.List2, Qt::Key_Down);
    EXPECT_EQ(details().lblTaskName->value() + details().lblStatus->value(), "SECONDDOWN");
    QTest::keyClick(window.List1, Qt::Key_Down);
    EXPECT_EQ(details().lblTaskName->value(), "THIRD");
    EXPECT_FALSE(window.List2->selectionModel()->hasSelection()) << "one selection at a time";
}

// A long value is elided, whole in its tooltip and whole once focused for copying; a wider
// window shows it whole.
TEST_F(TaskWindowsTest, LongValuesAreElidedNeverCut) {
    const QString command = "sleep 3600" + QStringLiteral(" 0.5").repeated(40); // sleep adds up
    startWithIni(("START=" + command + "," + QString(80, 'n') + ",,False\n").toUtf8());
    QListView* list = main().List1;
    EXPECT_LE(list->visualRect(list->model()->index(0, 0)).width(), list->viewport()->width())
        << "a long name is elided in the list, not scrolled out of sight";
    clickFirstItem(main().List1);
    EXPECT_EQ(details().lblProcessHandle->toolTip(), QString()) << "short values stay whole";
    for (ValueField* field : {details().lblPathAndFile, details().lblTaskName}) {
        EXPECT_TRUE(field->text().contains(QChar(0x2026)));
        EXPECT_LE(field->fontMetrics().horizontalAdvance(field->text()), field->width());
        EXPECT_EQ(field->toolTip(), field->value());
    }
    ValueField* path = details().lblPathAndFile;
    EXPECT_EQ(path->value(), command);
    EXPECT_TRUE(path->text().startsWith("sleep 3600")) << "the program stays in view";
    // Sent, as the window manager may keep another window active.
    QFocusEvent focusIn(QEvent::FocusIn, Qt::MouseFocusReason), focusOut(QEvent::FocusOut);
    QApplication::sendEvent(path, &focusIn);
    path->selectAll();
    EXPECT_EQ(path->selectedText(), command);
    QApplication::sendEvent(path, &focusOut);
    EXPECT_TRUE(path->isElided());

    const int height = details().height();
    details().resize(details().fontMetrics().horizontalAdvance(command) * 2, height + 50);
    EXPECT_EQ(details().height(), height) << "resizable sideways only";
    EXPECT_FALSE(path->isElided());
    EXPECT_EQ(details().cmdOK->geometry().right(),
              details().width() - 1 - WindowRoutines::twipsToPixelsX(&details(), 75));
}

// A right-to-left name starts at the left edge like the values below it.
TEST_F(TaskWindowsTest, RightToLeftNameKeepsTheTitleLeft) {
    startWithIni(QStringLiteral("START=sleep 3600,\u05E9\u05DC\u05D5\u05DD,,False\n").toUtf8());
    clickFirstItem(main().List1);
    // The first column with ink, against the background at the far right.
    const auto firstInk = [](QWidget* widget) {
        const QImage image = widget->grab().toImage();
        const QRgb background = image.pixel(image.width() - 1, 0);
        for (int x = 0; x < image.width(); ++x)
            for (int y = 0; y < image.height(); ++y)
                if (image.pixel(x, y) != background)
                    return x;
        return -1;
    };
    const int title = firstInk(details().lblTaskName);
    EXPECT_GE(title, 0);
    EXPECT_LE(title, firstInk(details().lblStatus) + 4);
}

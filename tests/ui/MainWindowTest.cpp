#include "DesktopFixture.h"
#include "WindowRoutines.h"
#include "frmViewLog.h"

#include <QAction>
#include <QInputDialog>
#include <QLabel>
#include <QListView>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

using namespace WindowRoutines;

namespace {

// Outer size in whole pixels for a size in twips.
void resizeOuterTwips(frmMain& window, double width, double height) {
    const QSize frame = frameExtent(&window);
    window.resize(twipsToPixelsX(&window, width) - frame.width(),
                  twipsToPixelsY(&window, height) - frame.height());
}

QStringList captionsOf(const QMenu* menu) {
    QStringList captions;
    for (const QAction* action : menu->actions())
        captions << (action->isSeparator() ? QStringLiteral("-") : action->text());
    return captions;
}

} // namespace

class MainWindowTest : public DesktopFixture {};

TEST_F(MainWindowTest, LaysOutTheListsFromTheOuterSizeAndHoldsTheMinimum) {
    const frmMain::ListSize design = frmMain::listSizeFor(6000, 4000);
    EXPECT_DOUBLE_EQ(design.width, 5550);
    EXPECT_DOUBLE_EQ(design.height, 1400);

    start(QString());
    frmMain& window = main();
    ASSERT_TRUE(window.isVisible());
    resizeOuterTwips(window, 6000, 4000);
    const frmMain::ListSize size =
        frmMain::listSizeFor(std::round(window.Width()), std::round(window.Height()));
    EXPECT_EQ(window.List1->size(),
              QSize(twipsToPixelsX(&window, size.width), twipsToPixelsY(&window, size.height)));
    EXPECT_EQ(window.List2->size(), window.List1->size());
    const double list1Bottom = pixelsToTwipsY(&window, window.List1->y() + window.List1->height());
    EXPECT_EQ(window.List2->y(), twipsToPixelsY(&window, list1Bottom + 150));
    EXPECT_EQ(window.lblDown->y(), window.List2->y());
    EXPECT_EQ(window.List1->pos(),
              QPoint(twipsToPixelsX(&window, 210), twipsToPixelsY(&window, 330)));

    // Smaller than 2700 twips either way snaps back, and the lists are laid out for 2700.
    resizeOuterTwips(window, 1000, 900);
    EXPECT_NEAR(window.Width(), 2700, 15);
    EXPECT_NEAR(window.Height(), 2700, 15);
    EXPECT_EQ(window.List1->width(),
              twipsToPixelsX(&window, frmMain::listSizeFor(std::round(window.Width()), 0).width));
    EXPECT_GT(window.List1->height(), 0);
}

TEST_F(MainWindowTest, MaximisedWindowKeepsTheDesignSizes) {
    start(QStringLiteral("/W:MAX"));
    frmMain& window = main();
    ASSERT_TRUE(testsupport::waitUntil([&] { return window.isMaximized(); }));
    EXPECT_EQ(window.List1->size(),
              QSize(twipsToPixelsX(&window, 3015), twipsToPixelsY(&window, 1035)));
    EXPECT_EQ(window.List2->size(),
              QSize(twipsToPixelsX(&window, 3045), twipsToPixelsY(&window, 840)));
}

TEST_F(MainWindowTest, MenusAndTheLoggingMarkFollowingLogActivityBothWays) {
    start(QStringLiteral("/L:OFF"));
    frmMain& window = main();
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Prowlix"));
    EXPECT_TRUE(window.Label1->text().startsWith(QStringLiteral("Items: 0   Port: ")));
    const QList<QMenu*> menus = window.menuBar()->findChildren<QMenu*>(Qt::FindDirectChildrenOnly);
    ASSERT_EQ(menus.size(), 2);
    EXPECT_EQ(menus[0]->title(), QStringLiteral("File"));
    EXPECT_EQ(captionsOf(menus[0]), QStringList{QStringLiteral("Exit")});
    EXPECT_EQ(menus[1]->title(), QStringLiteral("Logs"));
    EXPECT_EQ(captionsOf(menus[1]),
              (QStringList{"View Current", "Delete Current", "-", "View by Date", "-", "Purge All",
                           "Enable Logging"}));

    // /L:OFF leaves the mark clear; the menu command turns both on, then both off again.
    Log& log = monitor->eventLog();
    for (const bool on : {false, true, false}) {
        EXPECT_EQ(window.mnuLogsDisable->isChecked(), on);
        EXPECT_EQ(log.LogActivity, on);
        window.mnuLogsDisable->trigger();
    }
}

TEST_F(MainWindowTest, ClosingHidesWithTrayAndMinimisesWithout) {
    start(QString());
    EXPECT_TRUE(main().mnuLogsDisable->isChecked()) << "logging is on after a plain start";
    EXPECT_TRUE(main().windowFlags().testFlag(Qt::Tool)) << "no task-bar entry beside the tray";
    main().mnuFileExit->trigger();
    EXPECT_FALSE(main().isVisible());
    EXPECT_FALSE(monitor->CloseApp);
    EXPECT_TRUE(monitor->tickEnabled());
    view.reset();
    monitor.reset();

    start(QString(), false);
    EXPECT_FALSE(main().windowFlags().testFlag(Qt::Tool)) << "the task bar is the way back";
    main().close();
    EXPECT_TRUE(main().isVisible());
    EXPECT_TRUE(main().isMinimized());
}

TEST_F(MainWindowTest, ViewCommandsLeaveOneFreshViewerWithTheCaretAtTheEnd) {
    start(QString());
    frmMain& window = main();
    monitor->eventLog().WriteLog(QStringLiteral("FIRST READING"));
    window.mnuLogsView->trigger();
    QPointer<frmViewLog> first = window.viewLog();
    ASSERT_TRUE(first);
    monitor->eventLog().WriteLog(QStringLiteral("SECOND READING"));
    window.mnuLogsView->trigger();
    EXPECT_TRUE(first.isNull()) << "the first viewer is replaced";
    ASSERT_EQ(window.findChildren<frmViewLog*>().size(), 1);
    frmViewLog* viewer = window.viewLog();
    EXPECT_TRUE(viewer->isVisible());
    EXPECT_TRUE(viewer->txtLog->toPlainText().contains(QStringLiteral("SECOND READING")));

    // Every activation puts the caret after the last character again.
    viewer->txtLog->moveCursor(QTextCursor::Start);
    QEvent activate(QEvent::WindowActivate);
    QApplication::sendEvent(viewer, &activate);
    EXPECT_TRUE(viewer->txtLog->textCursor().atEnd());
    EXPECT_GT(viewer->txtLog->textCursor().position(), 0);

    // The text box keeps to the top-left corner, 150 and 350 twips inside the outer size.
    viewer->resize(400, 300);
    const QSize outer = outerGeometry(viewer).size();
    EXPECT_EQ(viewer->txtLog->geometry(),
              QRect(0, 0, twipsToPixelsX(viewer, pixelsToTwipsX(viewer, outer.width()) - 150),
                    twipsToPixelsY(viewer, pixelsToTwipsY(viewer, outer.height()) - 350)));

    viewer->close();
    EXPECT_TRUE(viewer->txtLog->toPlainText().isEmpty());
}

TEST_F(MainWindowTest, ViewCommandDuringAReadingLeavesOneCompleteViewer) {
    start(QString());
    frmMain& window = main();
    for (int i = 0; i < 200; ++i)
        monitor->eventLog().WriteLog(QStringLiteral("LINE %1").arg(i));
    // The reading lets events run per line, so this second command runs inside the first.
    QTimer::singleShot(0, &window, [&window] { window.mnuLogsView->trigger(); });
    window.mnuLogsView->trigger();
    ASSERT_EQ(window.findChildren<frmViewLog*>().size(), 1);
    const QString text = window.viewLog()->txtLog->toPlainText();
    EXPECT_EQ(text.count(QStringLiteral("LINE 199")), 1);
    EXPECT_EQ(text.count(QStringLiteral("LINE 0\n")), 1);
}

TEST(LogViewerTest, ViewerClosedWhileFillingStopsCleanly) {
    QString text;
    for (int i = 0; i < 20000; ++i)
        text += QStringLiteral("6 Dec 2026 13:00:00 - LINE %1\r\n").arg(i);
    frmViewLog kept;
    ASSERT_TRUE(kept.setText(text));
    EXPECT_EQ(kept.txtLog->document()->blockCount(), 20001);
    EXPECT_FALSE(kept.txtLog->toPlainText().contains(QLatin1Char('\r')));

    auto* dropped = new frmViewLog;
    QTimer::singleShot(0, dropped, [dropped] { delete dropped; });
    EXPECT_FALSE(dropped->setText(text)) << "the fill lets events run and sees the viewer go";
}

TEST_F(MainWindowTest, DeleteCurrentTellsTheUserInABoxWithTheProgramsTitle) {
    start(QString());
    const QString path = monitor->eventLog().LogFileName(QDate::currentDate());
    ASSERT_TRUE(QFile::exists(path));
    QString shown;
    whileModal<QMessageBox>([&] { main().mnuLogsDelete->trigger(); },
                            [&](QMessageBox* box) {
                                shown = box->windowTitle() + QLatin1Char('|') + box->text() +
                                        QString::number(box->buttons().size());
                                box->button(QMessageBox::Ok)->click();
                            });
    EXPECT_EQ(shown, QStringLiteral("Prowlix|Log file deleted.1"));
    EXPECT_FALSE(QFile::exists(path));
}

TEST_F(MainWindowTest, ViewByDateIgnoresNonDatesAndOpensMissingDays) {
    start(QString());
    frmMain& window = main();

    // The real dialog: title, prompt and today's date as the default; Cancel does nothing.
    QString shown, reply;
    whileModal<QInputDialog>([&] { window.mnuLogsViewDate->trigger(); },
                             [&](QInputDialog* dialog) {
                                 shown =
                                     dialog->windowTitle() + QLatin1Char('|') + dialog->labelText();
                                 reply = dialog->textValue();
                                 dialog->reject();
                             });
    EXPECT_EQ(shown, QStringLiteral("View Logfile|Date of logfile to be viewed:"));
    EXPECT_EQ(frmMain::readDate(reply), QDate::currentDate());
    EXPECT_EQ(window.viewLog(), nullptr);

    QString answer;
    window.askDate = [&answer](const QString&, bool* ok) {
        *ok = true;
        return answer;
    };
    for (const char* notADate : {"abc", "", "   "}) {
        answer = QString::fromLatin1(notADate);
        window.mnuLogsViewDate->trigger();
        EXPECT_EQ(window.viewLog(), nullptr) << notADate;
    }
    answer = frmMain::shortDateText(QDate(2001, 2, 3));
    window.mnuLogsViewDate->trigger();
    ASSERT_NE(window.viewLog(), nullptr);
    EXPECT_EQ(window.viewLog()->txtLog->toPlainText(), QStringLiteral("Log file is empty."));
}

// What each window lays out at its first showing equals what it lays out after a resize to
// the same size, and the details window is centred on the main window by their frames: the
// layouts read the real frame, whenever the window manager supplies it.
TEST_F(MainWindowTest, FirstLayoutsEqualTheLayoutsAfterAResize) {
    startWithIni("START=sleep 3600,sleeper,,False\n");
    frmMain& window = main();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    window.mnuLogsView->trigger();
    frmViewLog* viewer = window.viewLog();
    ASSERT_NE(viewer, nullptr);
    QTest::mouseClick(window.List1->viewport(), Qt::LeftButton, {},
                      window.List1->visualRect(window.List1->model()->index(0, 0)).center());
    QWidget* details = window.findChild<QDialog*>(QStringLiteral("frmViewTask"));
    ASSERT_TRUE(details->isVisible());

    // The rules, applied to the outer sizes as they are now.
    const auto ruled = [&] {
        const frmMain::ListSize list =
            frmMain::listSizeFor(std::round(window.Width()), std::round(window.Height()));
        const QSize outer = outerGeometry(viewer).size();
        return QList<QSize>{
            QSize(twipsToPixelsX(&window, list.width), twipsToPixelsY(&window, list.height)),
            QSize(twipsToPixelsX(viewer, pixelsToTwipsX(viewer, outer.width()) - 150),
                  twipsToPixelsY(viewer, pixelsToTwipsY(viewer, outer.height()) - 350))};
    };
    const auto laidOut = [&] { return QList<QSize>{window.List1->size(), viewer->txtLog->size()}; };
    const auto centred = [&] {
        return (outerGeometry(details).center() - outerGeometry(&window).center())
                   .manhattanLength() <= 2;
    };
    // A window manager decorates a window a moment after it is shown.
    EXPECT_TRUE(testsupport::waitUntil(
        [&] { return laidOut() == ruled() && centred() && !frameExtent(viewer).isNull(); },
        std::chrono::seconds(3)));
    const QList<QRect> first{window.List1->geometry(), window.List2->geometry(),
                             window.lblDown->geometry(), viewer->txtLog->geometry()};
    for (QWidget* w : {static_cast<QWidget*>(&window), static_cast<QWidget*>(viewer)}) {
        const QSize size = w->size();
        w->resize(size + QSize(40, 30));
        w->resize(size);
    }
    EXPECT_EQ((QList<QRect>{window.List1->geometry(), window.List2->geometry(),
                            window.lblDown->geometry(), viewer->txtLog->geometry()}),
              first);
}

#include "DesktopFixture.h"
#include "WindowRoutines.h"
#include "frmViewLog.h"
#include "frmViewTask.h"

#include <QAction>
#include <QInputDialog>
#include <QLabel>
#include <QListView>
#include <QPlainTextEdit>
#include <QTest>

using namespace WindowRoutines;

class MainWindowTest : public DesktopFixture {
  protected:
    // Resizes to an outer size in twips.
    void resizeOuter(double width, double height) {
        const QSize frame = frameExtent(&main());
        main().resize(twipsToPixelsX(&main(), width) - frame.width(),
                      twipsToPixelsY(&main(), height) - frame.height());
    }
    // The list size the rule gives for the outer size as it is now.
    QSize ruledListSize() {
        const auto list =
            frmMain::listSizeFor(std::round(main().Width()), std::round(main().Height()));
        return {twipsToPixelsX(&main(), list.width), twipsToPixelsY(&main(), list.height)};
    }
};

// The lists follow the outer size down to the minimum, but not while maximised; the logging
// mark and the switch follow each other.
TEST_F(MainWindowTest, ListsFollowTheSizeAndTheLoggingMarkTheSwitch) {
    start(QStringLiteral("/L:OFF"));
    frmMain& window = main();
    for (const bool on : {false, true, false}) {
        EXPECT_EQ(window.mnuLogsDisable->isChecked(), on);
        EXPECT_EQ(monitor->eventLog().LogActivity, on);
        window.mnuLogsDisable->trigger();
    }
    resizeOuter(6000, 4000);
    EXPECT_EQ(window.List1->size(), ruledListSize());
    EXPECT_EQ(window.List2->size(), window.List1->size());
    const double list1Bottom = pixelsToTwipsY(&window, window.List1->y() + window.List1->height());
    EXPECT_EQ(window.List2->y(), twipsToPixelsY(&window, list1Bottom + 150));
    EXPECT_EQ(window.lblDown->y(), window.List2->y());

    resizeOuter(1000, 900);
    EXPECT_NEAR(window.Width(), 2700, 15);
    EXPECT_NEAR(window.Height(), 2700, 15);
    EXPECT_EQ(window.List1->size(), ruledListSize());
    const QSize normal = window.List1->size();
    window.showMaximized();
    ASSERT_TRUE(testsupport::waitUntil([&] { return window.isMaximized(); }));
    EXPECT_EQ(window.List1->size(), normal);
}

// The reading lets events run per line: a view command run inside it, like one run after it,
// leaves one viewer holding one complete, fresh reading, with the caret at its end.
TEST_F(MainWindowTest, ViewCommandsLeaveOneCompleteViewer) {
    start(QString());
    frmMain& window = main();
    EXPECT_TRUE(window.mnuLogsDisable->isChecked()) << "logging is on after a plain start";
    for (int i = 0; i < 200; ++i)
        monitor->eventLog().WriteLog(QStringLiteral("LINE %1").arg(i));
    window.mnuLogsView->trigger();
    QPointer<frmViewLog> first = window.viewLog();
    ASSERT_TRUE(first);
    monitor->eventLog().WriteLog("FRESH");
    QTimer::singleShot(0, &window, [&window] { window.mnuLogsView->trigger(); });
    window.mnuLogsView->trigger();
    EXPECT_TRUE(first.isNull());
    ASSERT_EQ(window.findChildren<frmViewLog*>().size(), 1);
    frmViewLog* viewer = window.viewLog();
    const QString text = viewer->txtLog->toPlainText();
    EXPECT_EQ(
        QList<qsizetype>({text.count("LINE 0\n"), text.count("LINE 199"), text.count("FRESH")}),
        QList<qsizetype>({1, 1, 1}));

    viewer->txtLog->moveCursor(QTextCursor::Start);
    QEvent activate(QEvent::WindowActivate);
    QApplication::sendEvent(viewer, &activate);
    EXPECT_TRUE(viewer->txtLog->textCursor().atEnd());
    viewer->close();
    EXPECT_TRUE(viewer->txtLog->toPlainText().isEmpty());
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

// The real dialog offers today's date, read back as today; a reply that is no date opens nothing.
TEST_F(MainWindowTest, ViewByDateReadsTheDateOffered) {
    start(QString());
    frmMain& window = main();
    whileModal<QInputDialog>([&] { window.mnuLogsViewDate->trigger(); },
                             [&](QInputDialog* dialog) { dialog->accept(); });
    ASSERT_NE(window.viewLog(), nullptr);
    EXPECT_TRUE(window.viewLog()->txtLog->toPlainText().contains("SYSTEM STARTED ("));
    window.closeViewLog();
    window.askDate = [](const QString&, bool* ok) {
        *ok = true;
        return QStringLiteral("abc");
    };
    window.mnuLogsViewDate->trigger();
    EXPECT_EQ(window.viewLog(), nullptr);
}

// The first layouts, which the window manager's frame arrives after, equal those after a resize
// to the same size, and the details window is centred on the main window by their frames.
TEST_F(MainWindowTest, FirstLayoutsEqualTheLayoutsAfterAResize) {
    startWithIni("START=sleep 3600,sleeper,,False\n");
    frmMain& window = main();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    window.mnuLogsView->trigger();
    frmViewLog* viewer = window.viewLog();
    window.ShowTaskDetails(1);
    QWidget* details = window.viewTask();
    const auto ruledText = [&] {
        const QSize outer = outerGeometry(viewer).size();
        return QSize(twipsToPixelsX(viewer, pixelsToTwipsX(viewer, outer.width()) - 150),
                     twipsToPixelsY(viewer, pixelsToTwipsY(viewer, outer.height()) - 350));
    };
    const auto centred = [&] {
        return (outerGeometry(details).center() - outerGeometry(&window).center())
                   .manhattanLength() <= 2;
    };
    // The window manager decorates a window a while after it is shown; on a busy machine, seconds.
    EXPECT_TRUE(testsupport::waitUntil([&] {
        return window.List1->size() == ruledListSize() && viewer->txtLog->size() == ruledText() &&
               centred() && !frameExtent(viewer).isNull();
    }));
    const auto layouts = [&] {
        return QList<QRect>{window.List1->geometry(), window.List2->geometry(),
                            window.lblDown->geometry(), viewer->txtLog->geometry()};
    };
    const QList<QRect> first = layouts();
    for (QWidget* w : {static_cast<QWidget*>(&window), static_cast<QWidget*>(viewer)}) {
        const QSize size = w->size();
        w->resize(size + QSize(40, 30));
        w->resize(size);
    }
    EXPECT_EQ(layouts(), first);
}

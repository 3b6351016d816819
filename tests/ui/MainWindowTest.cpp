#include "DesktopFixture.h"
#include "ui/LogLines.h"
#include "ui/WindowRoutines.h"
#include "ui/frmViewLog.h"
#include "ui/frmViewTask.h"

#include <QAction>
#include <QDir>
#include <QInputDialog>
#include <QKeySequence>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

using namespace WindowRoutines;

namespace {
QString shownText(const frmViewLog* viewer) {
    QStringList lines;
    for (int row = 0; row < viewer->lines()->rowCount(); ++row)
        lines << viewer->lines()->line(row);
    return lines.join('\n') + '\n';
}
} // namespace

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
    const QString text = shownText(viewer);
    EXPECT_EQ(
        QList<qsizetype>({text.count("LINE 0\n"), text.count("LINE 199"), text.count("FRESH")}),
        QList<qsizetype>({1, 1, 1}));

    // Written since it opened, and shown on the next activation, with the caret on the last line.
    monitor->eventLog().WriteLog("LATER");
    viewer->txtLog->setCurrentIndex(viewer->lines()->index(0));
    QEvent activate(QEvent::WindowActivate);
    QApplication::sendEvent(viewer, &activate);
    const int last = viewer->lines()->rowCount() - 1;
    EXPECT_TRUE(viewer->lines()->line(last).endsWith("LATER"));
    EXPECT_EQ(viewer->txtLog->currentIndex().row(), last);
    EXPECT_FALSE(viewer->txtLog->selectionModel()->hasSelection());
    viewer->close();
    EXPECT_EQ(viewer->lines()->rowCount(), 0);
}

// The viewer reads the file as lines are shown: a file that grows, or is cut short, while it is
// viewed reads on; a viewer closed while the file is indexed stops cleanly.
TEST(LogViewerTest, LinesReadOnDemandFromAFileThatChanges) {
    QTemporaryDir dir;
    const QString path = dir.filePath("log.txt");
    QByteArray bytes;
    for (int i = 0; i < 200000; ++i)
        bytes += "6 Dec 2026 13:00:00 - LINE " + QByteArray::number(i) + "\r\n";
    ASSERT_TRUE(testsupport::writeFile(path, bytes + "PART"));
    frmViewLog viewer;
    ASSERT_TRUE(viewer.openFile(path));
    LogLines& lines = *viewer.lines();
    ASSERT_EQ(lines.rowCount(), 200001);
    for (const int row : {0, 63, 64, 127, 199999})
        EXPECT_EQ(lines.line(row), "6 Dec 2026 13:00:00 - LINE " + QString::number(row));
    EXPECT_EQ(lines.line(200000), "PART") << "a line still being written shows as it is";

    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write("IAL\r\nNEXT\r\n");
    file.flush();
    lines.follow();
    EXPECT_EQ(lines.rowCount(), 200002);
    EXPECT_EQ(lines.line(200000) + lines.line(200001), "PARTIALNEXT");
    ASSERT_TRUE(file.resize(100));
    lines.follow();
    EXPECT_EQ(lines.line(199999), QString()) << "a file cut short reads as empty lines";

    auto* dropped = new frmViewLog;
    QTimer::singleShot(0, dropped, [dropped] { delete dropped; });
    ASSERT_TRUE(testsupport::writeFile(path, bytes.repeated(8)));
    EXPECT_FALSE(dropped->openFile(path)) << "the scan lets events run and sees the viewer go";
}

// The real dialog offers today's date, read back as today; a reply that is no date opens nothing.
TEST_F(MainWindowTest, ViewByDateReadsTheDateOffered) {
    start(QString());
    frmMain& window = main();
    whileModal<QInputDialog>([&] { window.mnuLogsViewDate->trigger(); },
                             [&](QInputDialog* dialog) { dialog->accept(); });
    ASSERT_NE(window.viewLog(), nullptr);
    EXPECT_TRUE(shownText(window.viewLog()).contains("SYSTEM STARTED ("));
    window.closeViewLog();
    window.askDate = [](const QString&, bool* ok) {
        *ok = true;
        return QStringLiteral("abc");
    };
    window.mnuLogsViewDate->trigger();
    EXPECT_EQ(window.viewLog(), nullptr);
}

// The first layouts, which the window manager's frame arrives after, equal those after a resize
// to the same size; the main window lies on the screen and the details window beside it.
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
    const QRect screen = window.screen()->availableGeometry();
    const auto placed = [&] {
        return screen.contains(outerGeometry(&window)) && screen.contains(outerGeometry(details)) &&
               !outerGeometry(details).intersects(outerGeometry(&window));
    };
    // The window manager decorates a window a while after it is shown; on a busy machine, seconds.
    EXPECT_TRUE(testsupport::waitUntil([&] {
        return window.List1->size() == ruledListSize() && viewer->txtLog->size() == ruledText() &&
               placed() && !frameExtent(viewer).isNull();
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

// Every menu command from the keyboard alone: Alt and the access keys, and F10 for the bar.
TEST_F(MainWindowTest, EveryMenuCommandFromTheKeyboard) {
    // The offscreen platform gives its focus to every window it shows, menus too, and takes it
    // back from none: only a real window system can say what the keyboard reaches.
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs a window system";
    start(QString());
    frmMain& window = main();
    ASSERT_TRUE(activateMain());
    const QString today = monitor->eventLog().LogFileName(QDate::currentDate());
    const auto choose = [&](Qt::Key menu, Qt::Key item) {
        QTest::keyClick(&window, menu, Qt::AltModifier);
        QWidget* popup = nullptr;
        ASSERT_TRUE(
            testsupport::waitUntil([&] { return popup = QApplication::activePopupWidget(); }));
        QTest::keyClick(popup, item);
    };
    const auto answerBoxes = [](auto trigger) {
        whileModal<QDialog>(trigger, [](QDialog* dialog) { dialog->accept(); });
    };
    const struct {
        Qt::Key menu, item;
        std::function<bool()> done;
    } rows[] = {
        {Qt::Key_L, Qt::Key_V, [&] { return window.viewLog() != nullptr; }},
        {Qt::Key_L, Qt::Key_E, [&] { return !monitor->eventLog().LogActivity; }},
        {Qt::Key_L, Qt::Key_E, [&] { return monitor->eventLog().LogActivity; }},
        {Qt::Key_L, Qt::Key_D, [&] { return !QFile::exists(today); }},
        {Qt::Key_L, Qt::Key_A, [&] { return window.viewLog() != nullptr; }},
        {Qt::Key_L, Qt::Key_P, [&] { return QDir(dir.path()).entryList({"*.txt"}).isEmpty(); }},
        {Qt::Key_F, Qt::Key_X, [&] { return !window.isVisible(); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(QKeySequence(row.menu | Qt::AltModifier).toString().toStdString() + " " +
                     QKeySequence(row.item).toString().toStdString());
        monitor->eventLog().WriteLog("ENTRY");
        window.closeViewLog();
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
        ASSERT_TRUE(testsupport::waitUntil([&] {
            return QApplication::activePopupWidget() == nullptr &&
                   window.menuBar()->activeAction() == nullptr;
        }));
        answerBoxes([&] { choose(row.menu, row.item); });
        EXPECT_TRUE(testsupport::waitUntil(row.done));
    }
    tray().mnuShow->trigger();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    QTest::keyClick(&window, Qt::Key_F10);
    EXPECT_TRUE(testsupport::waitUntil(
        [&] { return QApplication::activePopupWidget() == window.findChild<QMenu*>("mnuFile"); }));
    QTest::keyClick(QApplication::activePopupWidget(), Qt::Key_Escape);
    QTest::keyClick(window.menuBar(), Qt::Key_Escape);
    ASSERT_TRUE(
        testsupport::waitUntil([&] { return window.menuBar()->activeAction() == nullptr; }));
    QTest::keyClick(&window, Qt::Key_Alt);
    EXPECT_EQ(window.menuBar()->activeAction(), window.findChild<QMenu*>("mnuFile")->menuAction())
        << "Alt alone enters the menu bar";
}

// Edges on whole device pixels at every usual scale, wherever the parent lies in the window.
TEST(WindowRoutinesTest, ListEdgesFallOnDevicePixels) {
    const QRect rect(14, 22, 319, 81);
    for (const double ratio : {1.0, 1.25, 1.5, 1.75, 2.0}) {
        for (const QPoint offset : {QPoint(0, 0), QPoint(0, 23), QPoint(3, 27)}) {
            const QRect aligned = alignedToDevicePixels(rect, offset, ratio);
            for (const int edge :
                 {aligned.left() + offset.x(), aligned.top() + offset.y(),
                  aligned.right() + 1 + offset.x(), aligned.bottom() + 1 + offset.y()}) {
                const double device = edge * ratio;
                EXPECT_DOUBLE_EQ(device, std::round(device)) << ratio;
            }
            EXPECT_LE((aligned.topLeft() - rect.topLeft()).manhattanLength(), 4) << ratio;
        }
    }
}

#include "DesktopFixture.h"
#include "WindowRoutines.h"
#include "frmSplash.h"

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <csignal>

using namespace WindowRoutines;

class ReachabilityTest : public DesktopFixture {};

// Start-up's box comes before the splash, and a later box closes the topmost splash first.
TEST_F(ReachabilityTest, NoSplashAboveAWaitingMessageBox) {
    QStringList shown; // what each box says, and whether a splash is on screen beside it
    const auto answer = [&](QMessageBox* box) {
        const bool splash = view->splash() && view->splash()->isVisible();
        shown << box->windowTitle() + '|' + box->text() + (splash ? "|splash" : "");
        box->button(QMessageBox::Ok)->click();
    };
    whileModal<QMessageBox>([&] { start("/I:missing.ini"); }, answer);
    ASSERT_NE(view->splash(), nullptr);
    EXPECT_TRUE(view->splash()->isVisible());
    EXPECT_TRUE(isOnTop(view->splash()));
    const QString path = monitor->eventLog().LogFileName(QDate::currentDate());
    whileModal<QMessageBox>([&] { main().mnuLogsDelete->trigger(); }, answer);
    EXPECT_EQ(shown, QStringList({"Prowlix|Error: INI file (missing.ini) not found",
                                  "Prowlix|Log file deleted."}));
    EXPECT_FALSE(QFile::exists(path));
}

// Without a notification area from the start, and with one that goes away while the monitor
// runs: the window is in the task bar and shown, says so once, counts the tasks down in its
// title, closing it minimises it, and File > Exit ends the monitor.
TEST_F(ReachabilityTest, WithoutATrayTheWindowIsTheWayInAndOut) {
    for (const bool trayGoesLater : {false, true}) {
        SCOPED_TRACE(trayGoesLater ? "tray goes away" : "no tray at all");
        startWithIni("START=sleep 3600,sleeper,,False\n", trayGoesLater);
        frmMain& window = main();
        if (trayGoesLater) {
            window.close();
            ASSERT_FALSE(window.isVisible()) << "beside a tray, closing hides";
            trayPresent = false;
            view->checkTray();
        }
        EXPECT_TRUE(window.isVisible());
        EXPECT_FALSE(window.windowFlags().testFlag(Qt::Tool));
        EXPECT_EQ(window.Label1->text(), frmMain::noTrayNotice());
        ::kill(monitor->tasks()[1].ProcessId, SIGKILL);
        ASSERT_TRUE(testsupport::waitUntil([&] { return monitor->downList().count() == 1; }));
        EXPECT_EQ(window.windowTitle(), "Prowlix (1 down)");
        monitor->taskFunctions().RestartTask(1);
        EXPECT_EQ(window.windowTitle(), "Prowlix");
        window.close();
        EXPECT_TRUE(window.isMinimized());
        window.mnuFileExit->trigger();
        EXPECT_TRUE(monitor->CloseApp);
        EXPECT_FALSE(window.isVisible());
        TearDown();
    }
}

// The tray coming back makes the window a tool window again, with its status line, that File >
// Exit only hides.
TEST_F(ReachabilityTest, TrayComingBackRestoresTheTrayLife) {
    start(QString(), false);
    trayPresent = true;
    view->checkTray();
    EXPECT_TRUE(main().isVisible());
    EXPECT_TRUE(main().windowFlags().testFlag(Qt::Tool));
    EXPECT_TRUE(main().Label1->text().startsWith("Items: 0   Port: "));
    main().mnuFileExit->trigger();
    EXPECT_FALSE(main().isVisible());
    EXPECT_FALSE(monitor->CloseApp);
}

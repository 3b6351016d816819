#include "DesktopFixture.h"
#include "WindowRoutines.h"
#include "frmSplash.h"

#include <QAction>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <csignal>

using namespace WindowRoutines;

class ReachabilityTest : public DesktopFixture {};

// Start-up's box comes before the splash, and a later box closes the topmost splash first.
TEST_F(ReachabilityTest, NoSplashAboveAWaitingMessageBox) {
    const QString missing = dir.filePath(QStringLiteral("missing.ini"));
    bool splashDuringBox = true;
    QString shown;
    whileModal<QMessageBox>([&] { start(QStringLiteral("/I:") + missing); },
                            [&](QMessageBox* box) {
                                splashDuringBox = view->splash() != nullptr;
                                shown = box->text();
                                box->button(QMessageBox::Ok)->click();
                            });
    EXPECT_EQ(shown, QStringLiteral("Error: INI file (") + missing + QStringLiteral(") not found"));
    EXPECT_FALSE(splashDuringBox) << "the splash waits for the end of start-up";
    ASSERT_NE(view->splash(), nullptr);
    EXPECT_TRUE(view->splash()->isVisible());
    EXPECT_TRUE(isOnTop(view->splash()));
    EXPECT_TRUE(logText().contains(QStringLiteral("not found")));

    bool splashUnderBox = true;
    whileModal<QMessageBox>([&] { main().mnuLogsDelete->trigger(); },
                            [&](QMessageBox* box) {
                                splashUnderBox = view->splash()->isVisible();
                                box->button(QMessageBox::Ok)->click();
                            });
    EXPECT_FALSE(splashUnderBox);
}

// Without a notification area from the start, and with one that goes away while the monitor
// runs: the window is in the task bar and shown, says so once, counts the tasks down in its
// title, and File > Exit ends the monitor.
TEST_F(ReachabilityTest, WithoutATrayTheWindowIsTheWayInAndOut) {
    for (const bool trayGoesLater : {false, true}) {
        SCOPED_TRACE(trayGoesLater ? "tray goes away" : "no tray at all");
        startWithIni("START=sleep 3600,sleeper,,False\n", trayGoesLater);
        frmMain& window = main();
        if (trayGoesLater) {
            window.mnuFileExit->trigger();
            ASSERT_FALSE(window.isVisible()) << "beside a tray, Exit hides";
            trayPresent = false;
            view->checkTray();
        }
        EXPECT_TRUE(window.isVisible());
        EXPECT_FALSE(window.isMinimized());
        EXPECT_FALSE(window.windowFlags().testFlag(Qt::Tool));
        EXPECT_EQ(window.Label1->text(), frmMain::noTrayNotice());

        ::kill(monitor->tasks()[1].ProcessId, SIGKILL);
        ASSERT_TRUE(testsupport::waitUntil([&] { return monitor->downList().count() == 1; }));
        EXPECT_EQ(window.windowTitle(), QStringLiteral("Prowlix (1 down)"));
        monitor->taskFunctions().RestartTask(1);
        EXPECT_EQ(window.windowTitle(), QStringLiteral("Prowlix"));

        window.mnuFileExit->trigger();
        EXPECT_TRUE(monitor->CloseApp);
        EXPECT_FALSE(window.isVisible());
        EXPECT_TRUE(logText().contains(QStringLiteral("SYSTEM STOPPED (")));
        TearDown();
    }
}

// The tray coming back makes the window a tool window again that Exit only hides.
TEST_F(ReachabilityTest, TrayComingBackRestoresTheTrayLife) {
    start(QString(), false);
    trayPresent = true;
    view->checkTray();
    EXPECT_TRUE(main().isVisible());
    EXPECT_TRUE(main().windowFlags().testFlag(Qt::Tool));
    EXPECT_TRUE(main().Label1->text().startsWith(QStringLiteral("Items: 0   Port: ")));
    main().mnuFileExit->trigger();
    EXPECT_FALSE(main().isVisible());
    EXPECT_FALSE(monitor->CloseApp);
}

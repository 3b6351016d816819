#include "DesktopFixture.h"
#include "ui/WindowRoutines.h"
#include "ui/frmSplash.h"

#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
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
        EXPECT_EQ(window.windowTitle(), "Prowlix - watch (1 down)");
        monitor->taskFunctions().RestartTask(1);
        EXPECT_EQ(window.windowTitle(), "Prowlix - watch");
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

// A minimised window counts as hidden: the tray brings it back normal (or maximised, as it was)
// and active, whether it was minimised, hidden while minimised, or minimised before a tray came.
TEST_F(ReachabilityTest, AMinimisedWindowComesBack) {
    enum class Away { Minimised, HiddenWhileMinimised, MinimisedBeforeATray };
    const struct {
        Away away;
        bool maximised;
    } rows[] = {{Away::Minimised, false},
                {Away::Minimised, true},
                {Away::HiddenWhileMinimised, false},
                {Away::MinimisedBeforeATray, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(int(row.away) * 2 + int(row.maximised));
        // Openbox at times forgets a tool window's maximised state while it is iconified; what
        // the window asks for is seen on the offscreen platform.
        if (row.maximised && QGuiApplication::platformName() != "offscreen")
            continue;
        start(row.maximised ? "/W:MAX" : QString(), row.away != Away::MinimisedBeforeATray);
        frmMain& window = main();
        ASSERT_TRUE(activateMain());
        ASSERT_TRUE(minimiseMain());
        if (row.away == Away::HiddenWhileMinimised) {
            window.hide();
        } else if (row.away == Away::MinimisedBeforeATray) {
            trayPresent = true;
            view->checkTray();
        }
        tray().mnuShow->trigger();
        EXPECT_TRUE(testsupport::waitUntil([&] {
            return window.isVisible() && !window.isMinimized() && window.isActiveWindow() &&
                   window.isMaximized() == row.maximised;
        }));
        tray().mnuShow->trigger();
        EXPECT_FALSE(window.isVisible()) << "shown, the next toggle hides";
        TearDown();
    }
}

// The configuration names the window and the tray's tooltip, which counts the tasks down.
TEST_F(ReachabilityTest, MonitorsSideBySideAreToldApart) {
    const struct {
        QString path, title, label;
    } labels[] = {{"/etc/prowlix/web.ini", "", "web"},
                  {"db.backup.ini", "", "db.backup"},
                  {"web.ini", "  Front end ", "Front end"},
                  {"", "", ""}};
    for (const auto& row : labels)
        EXPECT_EQ(frmMain::configurationLabel(row.path, row.title), row.label);

    startWithIni("TITLE=web\nSTART=sleep 3600,sleeper,,False\n");
    EXPECT_EQ(main().windowTitle(), "Prowlix - web");
    EXPECT_EQ(tray().trayIcon.toolTip(), "Prowlix - web");
    ::kill(monitor->tasks()[1].ProcessId, SIGKILL);
    ASSERT_TRUE(testsupport::waitUntil([&] { return monitor->downList().count() == 1; }));
    EXPECT_EQ(tray().trayIcon.toolTip(), "Prowlix - web (1 down)");
    EXPECT_EQ(main().windowTitle(), "Prowlix - web") << "beside a tray the icon tells";
}

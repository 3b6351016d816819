#include "DesktopFixture.h"
#include "ManualClock.h"
#include "ui/WindowRoutines.h"

#include <QGuiApplication>
#include <QStyleHints>

using namespace WindowRoutines;

// One tick a second, the failure icon first; a second failure does not restart the period, and
// the phase carries over a Turn Off, so the next period begins with the normal icon.
TEST(TrayTest, FlashesOnceASecondAndExitsWithoutItsIcon) {
    testsupport::ManualClock clock;
    frmTrayMenu tray(QIcon(), clock);
    int beeps = 0;
    tray.beep = [&] { ++beeps; };
    tray.Form_Load();
    tray.NotifyON();
    clock.advance(600);
    tray.NotifyON();
    EXPECT_TRUE(tray.mnuNotifyOff->isEnabled());
    for (const bool failureIcon : {true, false, true}) {
        EXPECT_EQ(tray.showsFailureIcon(), !failureIcon) << "no change between ticks";
        clock.advance(400);
        EXPECT_EQ(tray.showsFailureIcon(), failureIcon);
        clock.advance(600);
    }
    tray.mnuNotifyOff->trigger();
    EXPECT_FALSE(tray.showsFailureIcon() || tray.mnuNotifyOff->isEnabled());
    clock.advance(5000);
    tray.NotifyON();
    clock.advance(1000);
    EXPECT_EQ(beeps, 4) << "none while turned off";
    EXPECT_FALSE(tray.showsFailureIcon());

    bool iconGoneFirst = false;
    QObject::connect(&tray, &frmTrayMenu::exitRequested,
                     [&] { iconGoneFirst = !tray.trayIcon.isVisible(); });
    tray.mnuExit->trigger();
    EXPECT_TRUE(iconGoneFirst);
}

// A click toggles the window on hosts that send one activation per click; the embedded tray's
// double-click (Trigger, Trigger, DoubleClick) toggles it once, not three times.
TEST(TrayTest, OneToggleAGesture) {
    using R = QSystemTrayIcon::ActivationReason;
    struct Row {
        const char* name;
        QList<std::pair<int, R>> activations; // milliseconds after the previous one
        int toggles;
    };
    const int interval = QGuiApplication::styleHints()->mouseDoubleClickInterval();
    const Row rows[] = {
        {"click", {{0, R::Trigger}}, 1},
        {"embedded double-click", {{0, R::Trigger}, {100, R::Trigger}, {0, R::DoubleClick}}, 1},
        {"two clicks apart", {{0, R::Trigger}, {interval, R::Trigger}}, 2},
        {"double-click alone", {{0, R::DoubleClick}}, 1},
        {"middle and right", {{0, R::MiddleClick}, {0, R::Context}}, 0},
    };
    for (const Row& row : rows) {
        testsupport::ManualClock clock;
        frmTrayMenu tray(QIcon(), clock);
        int toggles = 0;
        QObject::connect(&tray, &frmTrayMenu::showHideRequested, [&] { ++toggles; });
        for (const auto& [after, reason] : row.activations) {
            clock.advance(after);
            tray.pichook_MouseMove(reason);
        }
        EXPECT_EQ(toggles, row.toggles) << row.name;
    }
}

class TrayDesktopTest : public DesktopFixture {};

// The tray asks, the window answers: showing ends the flashing, hiding does not; the right
// button shows nothing (a second activation within one gesture: the table above). Exit ends it all.
TEST_F(TrayDesktopTest, ShowHideAndExitReachTheWindows) {
    start("/W:MIN");
    tray().NotifyON();
    tray().pichook_MouseMove(QSystemTrayIcon::Context);
    EXPECT_FALSE(main().isVisible());
    tray().pichook_MouseMove(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(main().isVisible());
    EXPECT_FALSE(isOnTop(&main()));
    EXPECT_FALSE(tray().tmrNotify.isActive());
    tray().NotifyON();
    tray().mnuShow->trigger();
    EXPECT_FALSE(main().isVisible());
    EXPECT_TRUE(tray().tmrNotify.isActive());

    main().mnuLogsView->trigger();
    tray().mnuExit->trigger();
    EXPECT_TRUE(monitor->CloseApp);
    EXPECT_EQ(main().viewLog(), nullptr);
    EXPECT_TRUE(logText().contains("SYSTEM STOPPED ("));
}

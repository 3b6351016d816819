#include "DesktopFixture.h"
#include "WindowRoutines.h"
#include "frmSplash.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QTest>

using namespace WindowRoutines;

class TrayTest : public ::testing::Test {
  protected:
    TrayTest() : tray(&window) {
        tray.beep = [this] { ++beeps; };
        tray.Form_Load();
    }
    QWidget window;
    frmTrayMenu tray;
    int beeps = 0;
};

TEST_F(TrayTest, NotifyingTwiceFlashesOnceASecond) {
    tray.NotifyON();
    tray.NotifyON();
    EXPECT_TRUE(tray.mnuNotifyOff->isEnabled());
    EXPECT_FALSE(tray.showsFailureIcon()) << "the icon changes first at the next tick";
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(testsupport::waitUntil([&] { return beeps >= 3; }));
    EXPECT_GE(clock.elapsed(), 2500) << "three beeps need three one-second ticks";
    EXPECT_EQ(tray.showsFailureIcon(), tray.FlashPhase == 1);
}

TEST_F(TrayTest, NotifyOffRestoresTheIconAndPhaseCarriesOver) {
    tray.NotifyOFF();
    EXPECT_FALSE(tray.showsFailureIcon());
    EXPECT_FALSE(tray.mnuNotifyOff->isEnabled());

    tray.NotifyON();
    tray.tmrNotify_Timer();
    EXPECT_TRUE(tray.showsFailureIcon());
    tray.mnuNotifyOff->trigger();
    EXPECT_FALSE(tray.showsFailureIcon());
    EXPECT_FALSE(tray.tmrNotify.isActive());
    EXPECT_EQ(beeps, 1);
    // The last tick showed the failure icon, so the next period begins with the normal one.
    tray.NotifyON();
    tray.tmrNotify_Timer();
    EXPECT_FALSE(tray.showsFailureIcon());
}

TEST_F(TrayTest, ShowingStopsTheFlashingAndHidingDoesNot) {
    tray.NotifyON();
    tray.pichook_MouseMove(QSystemTrayIcon::Trigger);
    tray.pichook_MouseMove(QSystemTrayIcon::Context);
    EXPECT_FALSE(window.isVisible()) << "a single click or the right button does not show";

    tray.pichook_MouseMove(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(window.isVisible());
    EXPECT_FALSE(isOnTop(&window));
    EXPECT_FALSE(tray.tmrNotify.isActive());

    tray.NotifyON();
    tray.mnuShow->trigger();
    EXPECT_FALSE(window.isVisible());
    EXPECT_TRUE(tray.tmrNotify.isActive());

    tray.TrayBusy = true;
    tray.pichook_MouseMove(QSystemTrayIcon::DoubleClick);
    EXPECT_FALSE(window.isVisible()) << "a message while one is handled is dropped";
}

TEST_F(TrayTest, ExitRemovesTheIconBeforeShuttingDown) {
    ASSERT_TRUE(tray.trayIcon.isVisible());
    bool iconGoneFirst = false;
    tray.ShutDownMonitor = [&] { iconGoneFirst = !tray.trayIcon.isVisible(); };
    tray.mnuExit->trigger();
    EXPECT_TRUE(iconGoneFirst);
}

class ShutdownTest : public DesktopFixture {};

TEST_F(ShutdownTest, TrayExitLogsTheStopAndClosesEveryWindow) {
    start(QString());
    main().mnuLogsView->trigger();
    ASSERT_TRUE(main().isVisible());
    tray().mnuExit->trigger();
    EXPECT_TRUE(monitor->CloseApp);
    EXPECT_FALSE(main().isVisible());
    EXPECT_EQ(main().viewLog(), nullptr);
    EXPECT_TRUE(logText().contains(QStringLiteral("SYSTEM STOPPED (")));
}

TEST(SplashTest, ShowsThePlatformOnTopAndClosesOnItsFifthTickOrAtOnce) {
    frmSplash splash{QPixmap(32, 32)};
    splash.show();
    EXPECT_EQ(splash.findChild<QLabel*>(QStringLiteral("lblPlatform"))->text(),
              QStringLiteral("Linux"));
    EXPECT_TRUE(isOnTop(&splash));
    EXPECT_TRUE(splash.tmrSplash.isActive());
    for (int tick = 1; tick <= 4; ++tick)
        splash.tmrSplash_Timer();
    EXPECT_TRUE(splash.isVisible());
    splash.tmrSplash_Timer();
    EXPECT_FALSE(splash.isVisible());
    EXPECT_FALSE(isOnTop(&splash));

    frmSplash byKey{QPixmap(32, 32)}, byClick{QPixmap(32, 32)};
    byKey.show();
    byClick.show();
    QTest::keyClick(&byKey, Qt::Key_Space);
    QTest::mouseClick(byClick.findChild<QLabel*>(QStringLiteral("imgLogo")), Qt::LeftButton);
    EXPECT_FALSE(byKey.isVisible());
    EXPECT_FALSE(byClick.isVisible());
}

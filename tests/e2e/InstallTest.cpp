// cmake --install into a scratch DESTDIR: every file where the GNU directories put it, and the
// installed executable finding its desktop module in the library directory.
#include "TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <gtest/gtest.h>

using testsupport::readFile;
using testsupport::waitUntil;

namespace {

TEST(InstallTest, LayoutFollowsTheGnuDirectoriesAndTheModuleIsFound) {
    QTemporaryDir destdir;
    QProcess install;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DESTDIR"), destdir.path());
    install.setProcessEnvironment(environment);
    install.setProcessChannelMode(QProcess::MergedChannels);
    install.start(QStringLiteral(PROWLIX_CMAKE),
                  {QStringLiteral("--install"), QStringLiteral(PROWLIX_BUILD_DIR)});
    ASSERT_TRUE(install.waitForFinished(120000));
    ASSERT_EQ(install.exitCode(), 0) << install.readAll().constData();

    const QString root = destdir.path() + QStringLiteral(PROWLIX_PREFIX);
    const QString data = root + QStringLiteral("/" PROWLIX_DATADIR);
    const QString icons = data + QStringLiteral("/icons/hicolor/");
    QStringList expected{root + QStringLiteral("/" PROWLIX_BINDIR "/prowlix"),
                         root + QStringLiteral("/" PROWLIX_MANDIR "/man1/prowlix.1"),
                         data + QStringLiteral("/doc/prowlix/examples/demo.ini"),
                         destdir.path() + QStringLiteral(PROWLIX_SYSCONFDIR "/prowlix/prowlix.ini"),
                         destdir.path() + QStringLiteral(PROWLIX_UNITDIR "/prowlix.service")};
#ifdef PROWLIX_WITH_DESKTOP
    const QString module =
        root + QStringLiteral("/" PROWLIX_LIBDIR "/prowlix/libprowlix-desktop.so");
    expected << module << data + QStringLiteral("/applications/prowlix.desktop")
             << icons + QStringLiteral("scalable/apps/prowlix.svg");
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256})
        expected << icons + QStringLiteral("%1x%1/apps/prowlix.png").arg(size);
#endif
    for (const QString& path : expected)
        EXPECT_TRUE(QFileInfo(path).isFile()) << qPrintable(path);
    EXPECT_FALSE(
        QFileInfo::exists(root + QStringLiteral("/" PROWLIX_BINDIR "/libprowlix-desktop.so")));
    // The service runs the installed program on the installed configuration.
    EXPECT_TRUE(
        readFile(expected[4])
            .contains(QStringLiteral("ExecStart=" PROWLIX_PREFIX "/" PROWLIX_BINDIR
                                     "/prowlix /NOGUI /D:/var/log/prowlix /I:" PROWLIX_SYSCONFDIR
                                     "/prowlix/prowlix.ini\n")));

#ifdef PROWLIX_WITH_DESKTOP
    // With a display the installed executable runs the desktop from its library directory.
    QTemporaryDir logs;
    QProcess monitor;
    environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    monitor.setProcessEnvironment(environment);
    const quint16 port = testsupport::freePort();
    monitor.start(expected[0], {QStringLiteral("/D:") + logs.path(),
                                QStringLiteral("/P:") + QString::number(port)});
    ASSERT_TRUE(monitor.waitForStarted(5000));
    const QString log =
        logs.filePath(testsupport::logFileName(QStringLiteral("LOG"), QStringLiteral("prowlix")));
    EXPECT_TRUE(waitUntil([&] { return readFile(log).contains(QStringLiteral("PORT: ")); }));
    EXPECT_TRUE(readFile(QStringLiteral("/proc/%1/maps").arg(monitor.processId()))
                    .contains(QFileInfo(module).canonicalFilePath()));
    monitor.terminate();
    EXPECT_TRUE(monitor.waitForFinished(10000));
#endif
}

} // namespace

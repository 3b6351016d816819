// cmake --install into a scratch DESTDIR: every file where the GNU directories put it, and the
// installed executable finding its desktop module in the library directory.
#include "TestSupport.h"

#include <QFileInfo>
#include <QProcess>
#include <gtest/gtest.h>

using testsupport::readFile;

TEST(InstallTest, LayoutFollowsTheGnuDirectoriesAndTheModuleIsFound) {
    QTemporaryDir destdir;
    QProcess install;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DESTDIR", destdir.path());
    install.setProcessEnvironment(environment);
    install.setProcessChannelMode(QProcess::MergedChannels);
    install.start(PROWLIX_CMAKE, {"--install", PROWLIX_BUILD_DIR});
    ASSERT_TRUE(install.waitForFinished(120000));
    ASSERT_EQ(install.exitCode(), 0) << install.readAll().constData();

    const QString root = destdir.path() + PROWLIX_PREFIX "/", data = root + PROWLIX_DATADIR "/";
    const QString program = root + PROWLIX_BINDIR "/prowlix";
    const QString unit = destdir.path() + PROWLIX_UNITDIR "/prowlix.service";
    for (const QString& path : QStringList{
             program, unit, root + PROWLIX_MANDIR "/man1/prowlix.1",
             root + PROWLIX_BINDIR "/prowlixctl", root + PROWLIX_MANDIR "/man1/prowlixctl.1",
             data + "bash-completion/completions/prowlixctl",
             destdir.path() + PROWLIX_SYSCONFDIR "/prowlix/prowlix.ini",
             root + PROWLIX_DATADIR "/doc/prowlix/examples/metrics.ini"})
        EXPECT_TRUE(QFileInfo(path).isFile()) << qPrintable(path);
    // The service runs the installed program on the installed configuration.
    EXPECT_TRUE(readFile(unit).contains("ExecStart=" PROWLIX_PREFIX "/" PROWLIX_BINDIR
                                        "/prowlix /NOGUI /D:/var/log/prowlix /I:" PROWLIX_SYSCONFDIR
                                        "/prowlix/prowlix.ini\n"));
#ifdef PROWLIX_WITH_DESKTOP
    for (const QString& path : QStringList{data + "applications/prowlix.desktop",
                                           data + "icons/hicolor/48x48/apps/prowlix.png"})
        EXPECT_TRUE(QFileInfo(path).isFile()) << qPrintable(path);
    // With a display the installed executable runs the desktop from its library directory.
    QTemporaryDir logs;
    QProcess monitor;
    environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    monitor.setProcessEnvironment(environment);
    const quint16 port = testsupport::freePort();
    monitor.start(program, {"/D:" + logs.path(), QStringLiteral("/P:%1").arg(port)});
    EXPECT_TRUE(testsupport::answers(port));
    const QString module = root + PROWLIX_LIBDIR "/prowlix/libprowlix-desktop.so";
    EXPECT_TRUE(readFile(QStringLiteral("/proc/%1/maps").arg(monitor.processId()))
                    .contains(QFileInfo(module).canonicalFilePath()));
    monitor.terminate();
    EXPECT_TRUE(monitor.waitForFinished(10000));
#endif
}

#include "MonitorProcess.h"
#include "TestSupport.h"

#include <QDir>
#include <QTcpServer>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

using testsupport::answers;
using testsupport::MonitorProcess;
using testsupport::portArgument;
using testsupport::probePort;
using testsupport::waitUntil;

TEST(LifecycleTest, StartsAnswersAndStopsOnEachStopSignal) {
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        const quint16 port = testsupport::freePort();
        const QString arguments = QStringLiteral("/NOGUI ") + portArgument(port);
        MonitorProcess monitor;
        monitor.start(arguments.split(QLatin1Char(' ')));
        ASSERT_TRUE(monitor.waitForLog(QStringLiteral("PORT: ") + QString::number(port)))
            << qPrintable(monitor.log());
        EXPECT_TRUE(monitor.log().contains(QStringLiteral(" - SYSTEM STARTED (") + arguments +
                                           QStringLiteral(")\r\n")));
        EXPECT_EQ(probePort(port).data, QByteArray("SERVICES UP"));

        EXPECT_TRUE(monitor.stop(signal));
        EXPECT_TRUE(monitor.log().endsWith(QStringLiteral(" - SYSTEM STOPPED (") + arguments +
                                           QStringLiteral(")\r\n")))
            << qPrintable(monitor.log());
        EXPECT_TRUE(probePort(port).refused);
    }
}

TEST(LifecycleTest, LoggingOffKeepsOnlyTheStartAndStopEntries) {
    const quint16 port = testsupport::freePort();
    MonitorProcess monitor;
    monitor.start({QStringLiteral("/NOGUI"), QStringLiteral("/L:OFF"), portArgument(port)});
    ASSERT_TRUE(answers(port));
    ASSERT_TRUE(monitor.stop());
    const QStringList lines = monitor.log().split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2) << qPrintable(monitor.log());
    EXPECT_TRUE(lines[0].contains(QStringLiteral("SYSTEM STARTED (/NOGUI /L:OFF ")));
    EXPECT_TRUE(lines[1].contains(QStringLiteral("SYSTEM STOPPED (/NOGUI /L:OFF ")));
}

TEST(LifecycleTest, PortInUseIsLoggedAndTheMonitorKeepsRunning) {
    QTcpServer occupier;
    ASSERT_TRUE(occupier.listen(QHostAddress::Any, 0));
    MonitorProcess monitor;
    monitor.start({QStringLiteral("/NOGUI"), portArgument(occupier.serverPort())});
    ASSERT_TRUE(monitor.waitForLog(QStringLiteral("Unable to listen on port ") +
                                   QString::number(occupier.serverPort())))
        << qPrintable(monitor.log());
    EXPECT_TRUE(monitor.running());
    EXPECT_TRUE(monitor.stop());
    EXPECT_FALSE(monitor.log().contains(QStringLiteral("PORT: ")));
    EXPECT_TRUE(monitor.log().contains(QStringLiteral("SYSTEM STOPPED (")));
}

// Neither a log that cannot be written nor clients that reset their connection before the answer
// goes out (no SIGPIPE death) may cost the service.
TEST(LifecycleTest, UnwritableLogAndResettingClientsDoNotHarmTheMonitor) {
    MonitorProcess monitor;
    // A directory in place of today's file: no write can succeed, even for root.
    ASSERT_TRUE(
        QDir(monitor.dir())
            .mkdir(testsupport::logFileName(QStringLiteral("LOG"), QStringLiteral("prowlix"))));
    const quint16 port = testsupport::freePort();
    monitor.start({QStringLiteral("/NOGUI"), portArgument(port)});
    ASSERT_TRUE(answers(port));
    for (int i = 0; i < 100; ++i) {
        const int fd = testsupport::connectRaw(port);
        const linger abortive{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        ::close(fd);
    }
    EXPECT_TRUE(answers(port));
    EXPECT_TRUE(monitor.stop());
}

// Standard error is a pipe whose reader has gone, and the first thing written there (the missing
// INI file's message) comes before anything else would have ignored SIGPIPE; then signals that
// nobody should send. None of it may end the monitor.
TEST(LifecycleTest, ClosedStandardErrorAndStraySignalsDoNotEndTheMonitor) {
    const quint16 port = testsupport::freePort();
    MonitorProcess monitor;
    monitor.process().setChildProcessModifier([] {
        int fds[2];
        if (::pipe(fds) == 0) {
            ::close(fds[0]);
            ::dup2(fds[1], STDERR_FILENO);
            ::close(fds[1]);
        }
    });
    monitor.start({QStringLiteral("/NOGUI"), QStringLiteral("/I:missing.ini"), portArgument(port)});
    ASSERT_TRUE(answers(port)) << qPrintable(monitor.log());
    for (const int signal : {SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM})
        ::kill(static_cast<pid_t>(monitor.pid()), signal);
    EXPECT_TRUE(answers(port));
    EXPECT_TRUE(monitor.stop());
    EXPECT_TRUE(monitor.log().contains(QStringLiteral(" - SYSTEM STOPPED (")));
}

TEST(LifecycleTest, RunsHeadlessWithoutDisplayOrWhenAskedTo) {
    QProcessEnvironment display = MonitorProcess::headlessEnvironment();
    display.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // The same display without the option selects the desktop module.
    const struct {
        QStringList options;
        QProcessEnvironment environment;
        bool desktop;
    } rows[] = {{{}, MonitorProcess::headlessEnvironment(), false},
                {{QStringLiteral("/nogui")}, display, false},
                {{}, display, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(&row - rows);
        const quint16 port = testsupport::freePort();
        MonitorProcess monitor(true);
        monitor.start(row.options + QStringList{portArgument(port)}, row.environment);
        ASSERT_TRUE(answers(port));
        EXPECT_EQ(testsupport::readFile(QStringLiteral("/proc/%1/maps").arg(monitor.pid()))
                      .contains(QLatin1String("libQt6Widgets")),
                  row.desktop);
        EXPECT_TRUE(monitor.stop());
    }
}

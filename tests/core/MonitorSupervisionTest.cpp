// The monitor with real child processes, the real launcher and the real status port.
#include "EngineDoubles.h"
#include "TestSupport.h"
#include "core/Monitor.h"
#include "core/View.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

using testsupport::askPort;
using testsupport::waitUntil;

namespace {

class Supervision : public ::testing::Test {
  protected:
    ~Supervision() override {
        for (int p = 1; monitor && p <= monitor->tasks().upperBound(); ++p)
            ::kill(task(p).ProcessId, SIGKILL);
    }
    // Our own free port comes first unless the options name one.
    void start(const QByteArray& ini, const QString& options = QString()) {
        QFile file(dir.filePath(QStringLiteral("w.ini")));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(ini) == ini.size());
        file.close();
        port = testsupport::freePort();
        const QString own = options.contains("/P:") ? QString() : QStringLiteral("/P:%1").arg(port);
        monitor = std::make_unique<Monitor>(
            view, processes, QStringLiteral("%1 /I:%2 %3").arg(own, file.fileName(), options),
            ProgramInfo{dir.path(), QStringLiteral("prowlix")});
        monitor->quit = [this] { ++quitCalls; };
        monitor->startUp();
    }
    QString logText() {
        return testsupport::readFile(monitor->eventLog().LogFileName(QDate::currentDate()));
    }
    bool logged(const QString& text) {
        return waitUntil([&] { return logText().contains(text); });
    }
    TaskRecord& task(int p) { return monitor->tasks()[p]; }

    QTemporaryDir dir;
    HeadlessView view;
    testsupport::SpyingProcesses processes;
    std::unique_ptr<Monitor> monitor;
    quint16 port = 0;
    int quitCalls = 0;
};

// Ends are seen by their descriptors while the tick sleeps, except one within the first interval.
TEST_F(Supervision, EndsAreSeenWithoutATickExceptInTheFirstInterval) {
    start("start=sleep 3600,Plain\nstart=sleep 3600,Phoenix,,1\nstart=sleep 0.3,Short\n");
    monitor->Timer1().setInterval(3600 * 1000);
    ASSERT_TRUE(logged("TASK FAILURE: Short"));
    ::kill(task(1).ProcessId, SIGKILL);
    ASSERT_TRUE(logged("TASK FAILURE: Plain (sleep 3600)"));
    EXPECT_EQ(askPort(port), "refused");
    const qint32 first = task(2).ProcessId;
    ::kill(first, SIGKILL);
    ASSERT_TRUE(logged("RE-START: 'sleep 3600'"));
    EXPECT_NE(task(2).ProcessId, first);
    EXPECT_TRUE(processes.status(task(2).ProcessId).isRunning());

    QString name;
    qint16 mode = 0;
    monitor->taskFunctions().StartTask(name, QStringLiteral("true"), mode, false);
    ASSERT_TRUE(waitUntil([&] { return testsupport::processGone(task(4).ProcessId); }));
    EXPECT_FALSE(logText().contains("TASK FAILURE: true"));
    monitor->Timer1_Timer();
    EXPECT_TRUE(logText().contains("TASK FAILURE: true (true)"));
}

TEST_F(Supervision, ShutdownWithKillClosesTheTasksAndReportsNoFailure) {
    start("start=sleep 3600,A\nstart=sleep 3600,B\nkill=true\n");
    monitor->ShutDownMonitor();
    EXPECT_EQ(quitCalls, 1);
    EXPECT_EQ(processes.closeRequests.size(), 2);
    // Reaped through the descriptors' events: tasks closing on request are no failures.
    EXPECT_TRUE(waitUntil([&] {
        return testsupport::processGone(task(1).ProcessId) &&
               testsupport::processGone(task(2).ProcessId);
    }));
    EXPECT_FALSE(logText().contains("TASK FAILURE: "));
    EXPECT_FALSE(monitor->Timer1().isActive());
}

// STOP_TIMEOUT bounds a shutdown with kill: a task that ignores the request, and what it forked,
// are forced; a task that leaves processes behind is reported.
TEST_F(Supervision, ShutdownForcesWhatIgnoresItsStopSignalAfterTheTimeout) {
    // A trapped signal waits for the foreground sleep: the shell does not end.
    const QString script = dir.filePath(QStringLiteral("stubborn"));
    ASSERT_TRUE(
        testsupport::writeFile(script, "#!/bin/sh\ntrap : TERM\nsleep 3600 &\nsleep 3600\n"));
    QFile::setPermissions(script, QFile::ReadOwner | QFile::ExeOwner);
    start("start=" + script.toUtf8() +
          ",Stubborn\nstart=sh -c 'sleep 3600 & sleep 0.3',Forker\nkill=true\nSTOP_TIMEOUT=0.5\n");
    ASSERT_TRUE(logged("TASK FAILURE: Forker"));
    EXPECT_TRUE(logged("LEFTOVER: Forker: 1 processes still running in its session"));
    const qint32 stubborn = task(1).ProcessId;
    ASSERT_TRUE(waitUntil([&] { return processes.leftoverCount(stubborn) == 2; }));
    monitor->ShutDownMonitor();
    EXPECT_EQ(quitCalls, 1);
    EXPECT_TRUE(waitUntil([&] {
        return testsupport::processGone(stubborn) && processes.leftoverCount(stubborn) == 0;
    }));
    EXPECT_FALSE(logText().contains("TASK FAILURE: Stubborn"));
}

TEST_F(Supervision, IniValuesWinOverTheCommandLineOnlyWhenUsable) {
    const quint16 filePort = testsupport::freePort();
    start(QStringLiteral("start=sleep 3600,A\nport=%1\nkill=FALSE\n").arg(filePort).toUtf8(),
          QStringLiteral("/P:1 /KILL"));
    EXPECT_EQ(monitor->settings().StatusPort, filePort);
    EXPECT_TRUE(logText().contains(QStringLiteral("PORT: %1").arg(filePort)));
    monitor->ShutDownMonitor(); // without the kill option the tasks outlive the shutdown
    EXPECT_TRUE(processes.closeRequests.isEmpty());
    EXPECT_TRUE(processes.status(task(1).ProcessId).isRunning());
    ::kill(task(1).ProcessId, SIGKILL);

    start("port=8180\nPORT=0\nkill=yes\n", "/KILL");
    EXPECT_EQ(monitor->settings().StatusPort, port);
    EXPECT_TRUE(monitor->settings().KillOnExit);
}

TEST_F(Supervision, ProgramPathIsLaunchedByteForByte) {
    // Two programs whose names differ only where one is not valid UTF-8 and the other holds the
    // replacement character that a lossy decoding would put there.
    const QByteArray base = QFile::encodeName(dir.path()) + "/prog";
    const auto named = [&base](const char* rest) { return QByteArray(base).append(rest); };
    const QByteArray script = "#!/bin/sh\n: > \"$0.ran\"\nexec sleep 3600\n";
    for (const char* suffix : {"\xff", "\xef\xbf\xbd"}) {
        const int fd = ::open(named(suffix).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0755);
        ASSERT_EQ(::write(fd, script.constData(), size_t(script.size())), script.size());
        ::close(fd);
    }
    start("start=" + named("\xff,Odd\n"));
    ASSERT_EQ(monitor->tasks().upperBound(), 1) << qPrintable(logText());
    EXPECT_TRUE(waitUntil([&] { return ::access(named("\xff.ran").constData(), F_OK) == 0; }));
    EXPECT_NE(::access(named("\xef\xbf\xbd.ran").constData(), F_OK), 0);
}

// The tick runs only while a sweep can find what the process descriptors cannot.
TEST_F(Supervision, TickSleepsWhileEveryTaskIsWatchedAndARestartWakesIt) {
    using namespace std::chrono_literals;
    start("start=sleep 3600,A,,True\n");
    const QTimer& timer = monitor->Timer1();
    const auto idle = [&] { return waitUntil([&] { return !timer.isActive(); }, 2s); };
    EXPECT_TRUE(timer.isActive()) << "a task in its first interval";
    ASSERT_TRUE(idle());
    // Asleep means no timer at all: nothing but a process end can bring a tick now.
    const quint64 ticks = monitor->tickCount();
    QCoreApplication::processEvents();
    EXPECT_FALSE(timer.isActive());
    EXPECT_EQ(monitor->tickCount(), ticks);
    // A restart arms it before the handler returns: a fresh process, then the pending all-clear.
    ::kill(task(1).ProcessId, SIGKILL);
    ASSERT_TRUE(logged("RE-START: "));
    EXPECT_TRUE(timer.isActive());
    ASSERT_TRUE(idle());
    EXPECT_TRUE(monitor->statusPort().isListening());
}

// Ends reported one per slice (of no time at all here), the tick out of the way: one that comes
// while reports wait is reported too, and every task fails and is restarted exactly once.
TEST_F(Supervision, EndsReportedInSlicesAreEachHandledOnce) {
    using namespace std::chrono_literals;
    start("start=sleep 3600,A,,True\nstart=sleep 3600,B,,True\nstart=sleep 3600,C,,True\n"
          "start=sleep 3600,D,,True\n");
    processes.real.setSliceMs(0);
    ASSERT_TRUE(waitUntil([&] { return !monitor->Timer1().isActive(); }, 2s));
    monitor->Timer1().setInterval(3600 * 1000);
    // The fourth ends at the first report, before the reports of the others.
    const qint32 late = task(4).ProcessId;
    QObject::connect(
        &processes, &ProcessControl::processEnded, monitor.get(),
        [late] {
            ::kill(late, SIGKILL);
            const QString stat = QStringLiteral("/proc/%1/stat").arg(late);
            const QDeadlineTimer deadline(2000);
            while (!testsupport::readFile(stat).section(')', -1).startsWith(" Z") &&
                   !deadline.hasExpired()) {
            }
        },
        Qt::SingleShotConnection);
    for (int p = 1; p <= 3; ++p)
        ::kill(task(p).ProcessId, SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return logText().count("RE-START: ") == 4; }));
    EXPECT_EQ(logText().count("TASK FAILURE: "), 4);
    for (int p = 1; p <= 4; ++p)
        EXPECT_TRUE(task(p).IsUp && processes.status(task(p).ProcessId).isRunning()) << p;
}

} // namespace

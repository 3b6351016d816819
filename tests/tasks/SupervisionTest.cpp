#include "EngineDoubles.h"
#include "Monitor.h"
#include "TestSupport.h"
#include "View.h"

#include <QDate>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using testsupport::askPort;
using testsupport::waitUntil;

namespace {

class NullView final : public View {
  public:
    void showMessage(const QString&) override {}
    void openFile(const QString&) override {}
    void applyFlatLook() override {}
    void showTray() override {}
    void setTitle(const QString&) override {}
    void setListCaptions(const QString&, const QString&) override {}
    void applyWindowState(WindowState state) override { states.append(state); }
    void setLoggingChecked(bool) override {}
    void setStatusLine(const QString& text) override { statusLine = text; }
    void NotifyON() override { notifying = true; }
    void NotifyOFF() override { notifying = false; }
    void unloadAll() override {}

    bool notifying = false;
    QList<WindowState> states;
    QString statusLine;
};

// Ends a process and waits until it is a zombie, leaving the reaping to the code under test.
void killAndWaitForEnd(qint32 pid) {
    ::kill(pid, SIGKILL);
    siginfo_t info{};
    ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
}

bool gone(qint32 pid) {
    return !QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid));
}

class Supervision : public ::testing::Test {
  protected:
    ~Supervision() override {
        if (!monitor)
            return;
        for (int p = 1; p <= monitor->tasks().upperBound(); ++p)
            ::kill(task(p).ProcessId, SIGKILL);
        monitor->statusPort().close();
    }

    // Our own free port comes first unless the options name one (the first /P: counts).
    void start(const QByteArray& ini, const QString& options = QString()) {
        const QString path = dir.filePath(QStringLiteral("w.ini"));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(ini) == ini.size());
        file.close();
        port = testsupport::freePort();
        const QString ownPort =
            options.contains(QLatin1String("/P:")) ? QString() : QStringLiteral("/P:%1").arg(port);
        monitor = std::make_unique<Monitor>(
            view, processes, QStringLiteral("%1 /I:%2 %3").arg(ownPort, path, options),
            ProgramInfo{dir.path(), QStringLiteral("prowlix")});
        monitor->quit = [this] { ++quitCalls; };
        monitor->startUp();
    }
    // Ticks only when the test says so.
    void stopTicks() {
        monitor->setTickEnabled(false);
        processes.setImmediateDetection(false);
    }

    QString logText() {
        return testsupport::readFile(monitor->eventLog().LogFileName(QDate::currentDate()));
    }
    int count(const QString& text) { return static_cast<int>(logText().count(text)); }
    bool logged(const QString& text) {
        return waitUntil([&] { return logText().contains(text); });
    }
    TaskRecord& task(int p) { return monitor->tasks()[p]; }
    static bool listed(const TaskList& list, qint32 id) {
        for (int i = 0; i < list.count(); ++i)
            if (list.at(i).taskId == id)
                return true;
        return false;
    }

    QTemporaryDir dir;
    NullView view;
    testsupport::RecordingProcesses processes;
    std::unique_ptr<Monitor> monitor;
    quint16 port = 0;
    int quitCalls = 0;
};

TEST_F(Supervision, StartEventsAndIdentifiersDenseFromOne) {
    const QString plain = dir.filePath(QStringLiteral("plain.txt"));
    QFile(plain).open(QIODevice::WriteOnly);
    start(QStringLiteral("start=sleep 3600,First\n"
                         "start=prowlix-no-such-program,Missing\n"
                         "start=%1,Directory\n"
                         "start=%2,Plain\n"
                         "start=/bin/sleep 3600\n"
                         "start=sleep 3600,Third,MIN,True\n")
              .arg(dir.path(), plain)
              .toUtf8());
    ASSERT_EQ(monitor->tasks().upperBound(), 3);
    EXPECT_EQ(task(2).TaskName, "sleep 3600");
    EXPECT_TRUE(task(3).AutoRestart);
    for (int p = 1; p <= 3; ++p) {
        EXPECT_EQ(task(p).TaskId, p);
        EXPECT_TRUE(task(p).IsUp);
        EXPECT_EQ(processes.status(task(p).ProcessId), ProcessControl::WAIT_TIMEOUT);
    }
    ASSERT_EQ(monitor->upList().count(), 3);
    EXPECT_EQ(monitor->upList().at(0).taskId, 3); // newest at the top
    const QString text = logText();
    EXPECT_TRUE(text.contains(" - START: First (sleep 3600)\r\n"));
    EXPECT_TRUE(text.contains(" - START: sleep 3600 (/bin/sleep 3600)\r\n"));
    // Each failed start names its task; while any configured task is missing, the port is closed.
    EXPECT_TRUE(text.contains(QStringLiteral(" - ERROR: Unable to start Missing "
                                             "(prowlix-no-such-program): %1\r\n")
                                  .arg(QString::fromLocal8Bit(strerror(ENOENT)))));
    EXPECT_TRUE(text.contains(QStringLiteral(" - ERROR: Unable to start Plain (%1): %2\r\n")
                                  .arg(plain, QString::fromLocal8Bit(strerror(EACCES)))));
    EXPECT_TRUE(text.contains(" - ERROR: Unable to start Directory ("));
    EXPECT_EQ(monitor->taskFunctions().startFailures(), 3);
    EXPECT_EQ(askPort(port), "refused");
    EXPECT_TRUE(text.contains("PORT: "));
    // A restart that brings every task with a record back does not hide the missing ones.
    ::kill(task(3).ProcessId, SIGKILL);
    ASSERT_TRUE(logged("RE-START: 'sleep 3600'"));
    EXPECT_TRUE(waitUntil([&] { return !view.notifying; }));
    EXPECT_EQ(askPort(port), "refused");
}

TEST_F(Supervision, FailureClosesThePortUntilEveryTaskIsBackAndRestartGivesANewProcess) {
    start("start=sleep 3600,Plain\nstart=sleep 3600,Phoenix,,1\n");
    ::kill(task(1).ProcessId, SIGKILL);
    ASSERT_TRUE(logged("TASK FAILURE: Plain (sleep 3600)"));
    EXPECT_FALSE(task(1).IsUp);
    EXPECT_TRUE(listed(monitor->downList(), 1));
    EXPECT_FALSE(listed(monitor->upList(), 1));
    EXPECT_TRUE(view.notifying);
    EXPECT_EQ(askPort(port), "refused");

    // Phoenix restarts by itself, but that does not lower the signal while Plain is down.
    const qint32 first = task(2).ProcessId;
    ::kill(first, SIGKILL);
    ASSERT_TRUE(logged("RE-START: 'sleep 3600'"));
    const QString text = logText();
    EXPECT_LT(text.indexOf("TASK FAILURE: Phoenix (sleep 3600)"),
              text.indexOf("RE-START: 'sleep 3600'"));
    EXPECT_EQ(count("TASK FAILURE: Phoenix"), 1);
    EXPECT_NE(task(2).ProcessId, first);
    EXPECT_TRUE(task(2).IsUp);
    EXPECT_EQ(task(2).TaskId, 2);
    EXPECT_EQ(task(2).TaskName, "Phoenix");
    EXPECT_TRUE(listed(monitor->upList(), 2));
    EXPECT_FALSE(listed(monitor->downList(), 2));
    EXPECT_TRUE(view.notifying);
    EXPECT_EQ(askPort(port), "refused");

    monitor->taskFunctions().RestartTask(1);
    EXPECT_TRUE(task(1).IsUp);
    EXPECT_FALSE(listed(monitor->downList(), 1));
    EXPECT_TRUE(waitUntil([&] { return !view.notifying; })); // once the new process has held
    EXPECT_EQ(askPort(port), "SERVICES UP");

    // A second restart of a task that is up lists it once.
    const qint32 replaced = task(1).ProcessId;
    monitor->taskFunctions().RestartTask(1);
    ::kill(replaced, SIGKILL);
    EXPECT_EQ(monitor->upList().count(), 2);
}

TEST_F(Supervision, TwoFailuresBeforeOneTickAreHandledInTableOrder) {
    start("start=sleep 3600,Alpha,,True\nstart=sleep 3600,Beta\n");
    stopTicks();
    killAndWaitForEnd(task(2).ProcessId);
    killAndWaitForEnd(task(1).ProcessId);
    monitor->Timer1_Timer();
    const QString text = logText();
    const auto alpha = text.indexOf("TASK FAILURE: Alpha");
    ASSERT_GE(alpha, 0);
    EXPECT_LT(alpha, text.indexOf("RE-START: 'sleep 3600'"));
    EXPECT_LT(text.indexOf("RE-START: 'sleep 3600'"), text.indexOf("TASK FAILURE: Beta"));
    ASSERT_EQ(monitor->downList().count(), 1);
    EXPECT_EQ(monitor->downList().at(0).taskId, 2);
}

TEST_F(Supervision, RestartedTaskThatEndsAtOnceIsReportedByTheNextTick) {
    start("start=sleep 3600,Phoenix,,True\n");
    stopTicks();
    killAndWaitForEnd(task(1).ProcessId);
    // The restarted process is gone before the restart's all-up check looks at it.
    processes.afterLaunch = [this](qint32 pid) {
        processes.afterLaunch = nullptr;
        killAndWaitForEnd(pid);
    };
    monitor->Timer1_Timer();
    EXPECT_EQ(count("TASK FAILURE: Phoenix"), 1);
    EXPECT_TRUE(task(1).IsUp); // still supervised, not silently dropped
    EXPECT_TRUE(view.notifying);
    EXPECT_EQ(askPort(port), "refused");

    monitor->Timer1_Timer();
    EXPECT_EQ(count("TASK FAILURE: Phoenix"), 2);
    EXPECT_EQ(count("RE-START: "), 2);
    EXPECT_EQ(processes.status(task(1).ProcessId), ProcessControl::WAIT_TIMEOUT);
    // A process launched a moment ago has not shown that it stays up: no all-clear yet, so a
    // task that keeps ending at once never opens the port between its restarts.
    EXPECT_TRUE(view.notifying);
    EXPECT_EQ(askPort(port), "refused");
    EXPECT_TRUE(waitUntil([&] {
        monitor->Timer1_Timer();
        return !view.notifying;
    }));
    EXPECT_EQ(askPort(port), "SERVICES UP");
}

TEST_F(Supervision, RestartDuringTheAlertIsNotRepeated) {
    start("start=sleep 3600,Phoenix,,True\n");
    // The operator presses Restart while the alert is being sent.
    qint32 restartedByHand = 0;
    monitor->taskFunctions().sendFailureAlert = [&](int p) {
        monitor->taskFunctions().RestartTask(p);
        restartedByHand = task(p).ProcessId;
    };
    monitor->setTickEnabled(false);
    killAndWaitForEnd(task(1).ProcessId);
    monitor->Timer1_Timer();
    ::kill(restartedByHand, SIGKILL); // in case a second launch replaced it
    EXPECT_EQ(count("RE-START: "), 1);
    EXPECT_TRUE(task(1).IsUp);
    EXPECT_EQ(monitor->upList().count(), 1);
}

TEST_F(Supervision, EndIsSeenWithoutATickButAQuickEndWaitsForTheTick) {
    start("start=sleep 3600,Killed\nstart=sleep 0.3,Short\n");
    monitor->Timer1().setInterval(3600 * 1000); // no tick during the test; detection stays on
    // Short ends by itself after the tick interval; by then Killed is old enough too.
    ASSERT_TRUE(logged("TASK FAILURE: Short"));
    ::kill(task(1).ProcessId, SIGKILL);
    EXPECT_TRUE(logged("TASK FAILURE: Killed"));

    QString name;
    qint16 mode = 0;
    monitor->taskFunctions().StartTask(name, QStringLiteral("true"), mode, false);
    const qint32 quick = task(3).ProcessId;
    ASSERT_TRUE(waitUntil([&] { return gone(quick); }));
    EXPECT_EQ(count("TASK FAILURE: true"), 0);
    monitor->Timer1_Timer();
    EXPECT_EQ(count("TASK FAILURE: true (true)"), 1);
}

TEST_F(Supervision, ShutdownWithKillAsksTheTasksThatAreUpToCloseInTableOrder) {
    start("start=sleep 3600,A\nstart=sleep 3600,B\nstart=sleep 3600,C\nkill=true\n");
    const qint32 a = task(1).ProcessId, b = task(2).ProcessId, c = task(3).ProcessId;
    ::kill(b, SIGKILL);
    ASSERT_TRUE(logged("TASK FAILURE: B"));
    monitor->ShutDownMonitor();
    EXPECT_EQ(quitCalls, 1);
    EXPECT_EQ(processes.closeRequests, (QList<qint32>{a, c}));
    // Reaped by the process descriptors' events: tasks closing on request are no failures.
    EXPECT_TRUE(waitUntil([&] { return gone(a) && gone(c); }));
    EXPECT_EQ(count("TASK FAILURE: "), 1);
    EXPECT_FALSE(monitor->Timer1().isActive());
}

TEST_F(Supervision, IniValuesWinOverTheCommandLineOnlyWhenUsable) {
    const quint16 filePort = testsupport::freePort();
    start(QStringLiteral("start=sleep 3600,A\nport=%1\nkill=FALSE\nwindowstate=max\n")
              .arg(filePort)
              .toUtf8(),
          QStringLiteral("/P:1 /KILL /W:MIN"));
    EXPECT_EQ(monitor->settings().StatusPort, filePort);
    EXPECT_EQ(view.states,
              (QList<View::WindowState>{View::WindowState::Hidden, View::WindowState::Maximised}));
    EXPECT_TRUE(logText().contains(QStringLiteral("PORT: %1").arg(filePort)));
    // Without the kill option the tasks outlive the shutdown.
    const qint32 a = task(1).ProcessId;
    monitor->ShutDownMonitor();
    EXPECT_EQ(quitCalls, 1);
    EXPECT_TRUE(processes.closeRequests.isEmpty());
    EXPECT_EQ(processes.status(a), ProcessControl::WAIT_TIMEOUT);
    ::kill(a, SIGKILL);

    start("port=8180\nPORT=0\nkill=yes\n; windowstate absent\n", "/KILL /W:MIN");
    EXPECT_EQ(monitor->settings().StatusPort, port);
    EXPECT_TRUE(monitor->settings().KillOnExit);
    EXPECT_EQ(view.states.last(), View::WindowState::Normal);
    EXPECT_EQ(view.statusLine, QStringLiteral("Items: 0   Port: %1").arg(port));
}

TEST_F(Supervision, ConversionErrorStopsStartUpTasksBeforeItAreSupervised) {
    start("start=sleep 3600,First\nSMTP_PORT=abc\nstart=sleep 3600,Never\nport=9\n");
    ASSERT_EQ(monitor->tasks().upperBound(), 1);
    const QString text = logText();
    EXPECT_TRUE(text.contains(" - START: First (sleep 3600)\r\n"));
    EXPECT_TRUE(text.contains(" - Type mismatch\r\n"));
    EXPECT_FALSE(text.contains("PORT: "));
    EXPECT_TRUE(view.statusLine.isEmpty());
    EXPECT_EQ(askPort(port), "refused");

    ::kill(task(1).ProcessId, SIGKILL);
    EXPECT_TRUE(logged("TASK FAILURE: First (sleep 3600)"));
}

TEST_F(Supervision, FullTableRefusesBeforeLaunching) {
    start("");
    monitor->tasks().TaskCount = TaskTable::maxTasks;
    const QString marker = dir.filePath(QStringLiteral("launched"));
    QString name;
    qint16 mode = 7;
    monitor->taskFunctions().StartTask(name, QStringLiteral("touch ") + marker, mode, false);
    EXPECT_EQ(mode, 4);
    EXPECT_EQ(name, "launched");
    EXPECT_TRUE(logText().endsWith(QStringLiteral(" - ERROR: Unable to start launched (touch %1): "
                                                  "Overflow\r\n")
                                       .arg(marker)));
    EXPECT_EQ(monitor->upList().count(), 0);
    // Give a launch every chance to have happened.
    EXPECT_FALSE(
        waitUntil([&] { return QFileInfo::exists(marker); }, std::chrono::milliseconds(300)));
}

} // namespace

namespace {

TEST_F(Supervision, RestartLimitHoldsACrashLoopDownUntilTheOperatorRestartsIt) {
    start("start=sleep 3600,Loop,,True\nstart=sleep 3600,Other\nRESTART_LIMIT=2, 10\n");
    stopTicks();
    qint64 now = 0;
    monitor->taskFunctions().restartLimit().now = [&now] { return now; };
    const auto fail = [this] {
        killAndWaitForEnd(task(1).ProcessId);
        monitor->Timer1_Timer();
    };
    for (int i = 0; i < 3; ++i) // the third failure within the window is one too many
        fail();
    EXPECT_EQ(count(" - RESTART LIMIT: Loop (sleep 3600)\r\n"), 1);
    EXPECT_EQ(count("RE-START: "), 2);
    EXPECT_TRUE(task(1).restartLimited && !task(1).IsUp && listed(monitor->downList(), 1));
    EXPECT_TRUE(view.notifying);
    EXPECT_EQ(askPort(port), "refused");

    // The operator's Restart lifts the limit and starts the count again; so does time.
    monitor->taskFunctions().RestartTask(1);
    EXPECT_FALSE(task(1).restartLimited);
    fail();
    now += 10'000;
    fail();
    fail();
    EXPECT_EQ(count("RE-START: "), 6);
    fail();
    EXPECT_EQ(count("RESTART LIMIT: Loop"), 2);
}

TEST_F(Supervision, UnusableRestartLimitIsLoggedOnceAndLeftOff) {
    for (const char* value : {"0,10", "3", "a,10", "2,-5", "2,10,1"}) {
        SCOPED_TRACE(value);
        start(QByteArray("start=sleep 3600,Loop,,True\nRESTART_LIMIT=") + value + "\n");
        EXPECT_EQ(count(QStringLiteral(" - ERROR: RESTART_LIMIT=%1 ignored").arg(value)), 1);
        EXPECT_TRUE(logText().endsWith(QStringLiteral("PORT: %1\r\n").arg(port)));
        EXPECT_FALSE(monitor->taskFunctions().restartLimit().active());
        ::kill(task(1).ProcessId, SIGKILL);
    }
}

TEST_F(Supervision, ProgramPathIsLaunchedByteForByte) {
    // Two programs whose names differ only where one is not valid UTF-8 and the other holds the
    // replacement character that a lossy decoding would put there.
    const QByteArray base = QFile::encodeName(dir.path()) + QByteArray("/prog");
    const auto named = [&base](const char* rest) { return QByteArray(base).append(rest); };
    const QByteArray script = "#!/bin/sh\n: > \"$0.ran\"\nexec sleep 3600\n";
    for (const char* suffix : {"\xff", "\xef\xbf\xbd"}) {
        const int fd = ::open(named(suffix).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0755);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, script.constData(), size_t(script.size())), script.size());
        ::close(fd);
    }
    start("start=" + named("\xff,Odd\n"));
    ASSERT_EQ(monitor->tasks().upperBound(), 1) << qPrintable(logText());
    EXPECT_TRUE(waitUntil([&] { return ::access(named("\xff.ran").constData(), F_OK) == 0; }));
    EXPECT_NE(::access(named("\xef\xbf\xbd.ran").constData(), F_OK), 0);
}

// A mail server that accepts and never answers: every restart still comes at once, also while a
// second task keeps failing.
TEST_F(Supervision, MuteMailServerDelaysNoRestart) {
    QTcpServer mute; // accepts, and leaves every connection waiting
    // The mail port setting is a signed 16-bit number.
    for (quint16 p = 20000 + quint16(::getpid() % 5000); !mute.isListening() && p < 32700; p += 7)
        mute.listen(QHostAddress::LocalHost, p);
    ASSERT_TRUE(mute.isListening());
    start(QStringLiteral("start=sleep 3600,Flaky,,True\nstart=sleep 3600,Steady,,True\n"
                         "SMTP_SERVER=127.0.0.1\nSMTP_TO=ops@example.org\nSMTP_PORT=%1\n"
                         "SMTP_TIMEOUT=1\n")
              .arg(mute.serverPort())
              .toUtf8());
    monitor->taskFunctions().sendFailureAlert(2);
    if (logText().contains("EMAIL ALERT: "))
        GTEST_SKIP() << "alerts are still sent before the restart; the background mail queue "
                        "makes this pass";
    monitor->mail().TimeOut = 30;
    int expected = 0;
    for (int round = 0; round < 3; ++round) {
        ::kill(task(1).ProcessId, SIGKILL);
        ++expected;
        if (round == 1) {
            ::kill(task(2).ProcessId, SIGKILL);
            ++expected;
        }
        EXPECT_TRUE(
            waitUntil([&] { return count("RE-START: ") == expected; }, std::chrono::seconds(2)))
            << round;
    }
    EXPECT_EQ(processes.status(task(1).ProcessId), ProcessControl::WAIT_TIMEOUT);
    EXPECT_EQ(processes.status(task(2).ProcessId), ProcessControl::WAIT_TIMEOUT);
}

} // namespace

namespace {

// The tick runs only while a sweep can find what the process descriptors cannot.
TEST_F(Supervision, TickSleepsWhileEveryTaskIsWatchedAndEachBlindSpotWakesIt) {
    using namespace std::chrono_literals;
    start("start=sleep 3600,A,,True\nstart=sleep 3600,B\n");
    const QTimer& timer = monitor->Timer1();
    const auto idle = [&] { return waitUntil([&] { return !timer.isActive(); }, 2s); };
    EXPECT_TRUE(timer.isActive()) << "tasks in their first interval";
    ASSERT_TRUE(idle());
    const quint64 ticks = monitor->tickCount();
    EXPECT_GE(ticks, 1u);
    waitUntil([] { return false; }, 350ms); // three intervals: not one tick
    EXPECT_EQ(monitor->tickCount(), ticks);

    // A kill while it sleeps is still seen; the restart arms it (a process in its first
    // interval, then the pending all-clear) before the handler returns.
    ::kill(task(1).ProcessId, SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return count("RE-START: ") == 1; }));
    EXPECT_TRUE(timer.isActive());
    ASSERT_TRUE(idle());
    EXPECT_FALSE(view.notifying);

    // A launch arms it.
    QString name;
    qint16 mode = 0;
    monitor->taskFunctions().StartTask(name, QStringLiteral("sleep 3600"), mode, false);
    EXPECT_TRUE(timer.isActive());
    ASSERT_TRUE(idle());

    // A task without a descriptor (the descriptor limit held it back) keeps it running.
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    const int lowest = ::open("/dev/null", O_RDONLY);
    ::close(lowest);
    const rlimit tight{static_cast<rlim_t>(lowest + 8), limit.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    name.clear();
    monitor->taskFunctions().StartTask(name, QStringLiteral("sleep 3600"), mode, false);
    ::setrlimit(RLIMIT_NOFILE, &limit);
    EXPECT_TRUE(timer.isActive());
    EXPECT_FALSE(waitUntil([&] { return !timer.isActive(); }, 300ms))
        << "still needed after the first interval";
    ::kill(task(4).ProcessId, SIGKILL);
    EXPECT_TRUE(logged("TASK FAILURE: sleep 3600 (sleep 3600)"));
    ASSERT_TRUE(idle());
}

} // namespace

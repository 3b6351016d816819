#include "tasks/TaskFunctions.h"

#include "FakeProcesses.h"
#include "ManualClock.h"
#include "TestSupport.h"
#include "core/AlertLines.h"
#include "log/Log.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

// The layer above, as failure handling's signals reach it.
struct Above {
    explicit Above(TaskFunctions& functions) {
        QObject::connect(&functions, &TaskFunctions::taskFailed, [this](int p) {
            notifying = true;
            listening = false;
            alerts.append(p);
            if (duringAlert)
                duringAlert(p);
        });
        QObject::connect(&functions, &TaskFunctions::taskUnhealthy, [this] {
            notifying = true;
            listening = false;
        });
        QObject::connect(&functions, &TaskFunctions::taskStopped, [this] { listening = false; });
        QObject::connect(&functions, &TaskFunctions::allUp, [this](bool portMayOpen) {
            notifying = false;
            listening = listening || portMayOpen;
        });
    }
    bool notifying = false, listening = false;
    QList<int> alerts;
    std::function<void(int)> duringAlert;
};

class Supervisor : public ::testing::Test {
  protected:
    Supervisor() { log.LogActivity = true; }
    void start(const QString& command, bool autoRestart = false, QString name = {}) {
        qint16 mode = 0;
        functions.StartTask(name, command, mode, autoRestart);
    }
    void fail(int p) {
        processes.end(tasks[p].ProcessId);
        functions.sweep();
    }
    QStringList events() {
        QStringList lines = log.LogContents(QDate::currentDate()).split("\r\n", Qt::SkipEmptyParts);
        for (QString& line : lines)
            line = line.section(QStringLiteral(" - "), 1);
        return lines;
    }
    qsizetype count(const QString& text) {
        return log.LogContents(QDate::currentDate()).count(text);
    }

    QTemporaryDir dir;
    Log log{ProgramInfo{dir.path(), QStringLiteral("prowlix")}};
    TaskTable tasks;
    TaskList up, down;
    testsupport::FakeProcesses processes;
    testsupport::ManualClock clock;
    TaskFunctions functions{tasks, up, down, log, processes, clock};
    Above above{functions};
};

TEST_F(Supervisor, StartsGetDenseIdentifiersAndAFailedStartKeepsThePortClosed) {
    start("sleep 1", false, "First");
    start("!missing", false, "Missing");
    start("/bin/sleep 2", true);
    EXPECT_EQ(TaskFunctions::FileNameOf("C:\\Tools\\app.exe D:\\in.txt"), "in.txt");
    ASSERT_EQ(tasks.upperBound(), 2);
    EXPECT_TRUE(tasks[2].TaskId == 2 && tasks[2].IsUp && tasks[2].AutoRestart);
    EXPECT_EQ(up.at(0).taskId, 2); // newest at the top
    EXPECT_EQ(events(), QStringList({"START: First (sleep 1)",
                                     "ERROR: Unable to start Missing (!missing): No such file or "
                                     "directory",
                                     "START: sleep 2 (/bin/sleep 2)"}));
    functions.SignalAllUp(); // "SERVICES UP" would report the missing task as running
    EXPECT_FALSE(above.notifying || above.listening);

    tasks.TaskCount = TaskTable::maxTasks;
    start("sleep 3");
    EXPECT_EQ(processes.launched.size(), 2); // a full table is refused before launching
    EXPECT_EQ(events().last(), "ERROR: Unable to start sleep 3 (sleep 3): Overflow");
}

TEST_F(Supervisor, FailuresOfOneSweepAreHandledInTableOrder) {
    start("sleep 1", true, "Alpha");
    start("sleep 2", false, "Beta");
    processes.end(tasks[2].ProcessId, SIGSEGV | 0x80);
    processes.end(tasks[1].ProcessId, 1 << 8);
    functions.sweep();
    EXPECT_EQ(
        events().mid(2),
        QStringList({"TASK FAILURE: Alpha (sleep 1)", "EXIT STATUS: Alpha: exited with status 1",
                     "RE-START: 'sleep 1'", "TASK FAILURE: Beta (sleep 2)",
                     "EXIT STATUS: Beta: killed by signal 11 (SIGSEGV), core dumped"}));
    EXPECT_EQ(tasks[2].lastExit->signal(), SIGSEGV);
    EXPECT_EQ(above.alerts, (QList<int>{1, 2}));
    ASSERT_EQ(down.count(), 1);
    EXPECT_EQ(down.at(0).taskId, 2);
    EXPECT_TRUE(above.notifying);
}

// An end reported by its process is handled alone; the sweep still finds the rest. A number that
// is no task's current process is nothing.
TEST_F(Supervisor, AnEndIsHandledFromItsOwnProcessWithoutTheOthers) {
    for (const char* name : {"A", "B", "C"})
        start("sleep 1", true, name);
    const qint32 old = tasks[3].ProcessId;
    processes.end(tasks[1].ProcessId);
    processes.end(old);
    functions.handleEnd(old);
    EXPECT_TRUE(tasks[1].IsUp && tasks[3].IsUp && tasks[3].ProcessId != old);
    EXPECT_EQ(count("TASK FAILURE: "), 1);
    functions.handleEnd(old);
    functions.handleEnd(4242);
    EXPECT_EQ(count("TASK FAILURE: "), 1);
    functions.sweep();
    EXPECT_EQ(count("TASK FAILURE: A"), 1);
}

// The tick's pass in slices (of no time at all here), events running between them: an end
// reported meanwhile is handled once, the pass goes on in table order, and nothing opens the port
// before every task is back. A full sweep finishes a pass under way; shutdown stops one.
TEST_F(Supervisor, PassInSlicesHandlesEveryEndOnceAndKeepsThePortClosedMeanwhile) {
    constexpr int n = 100;
    for (int i = 1; i <= n; ++i)
        start("sleep 1", true, QString("T%1").arg(i));
    functions.SignalAllUp();
    functions.setSliceMs(0);
    QList<qint32> first;
    QList<int> order{1, 50};
    for (int p = 1; p <= n; ++p) {
        first.append(tasks[p].ProcessId);
        processes.end(tasks[p].ProcessId);
        if (p != 1 && p != 50)
            order.append(p);
    }
    functions.sweepInSlices();
    EXPECT_EQ(above.alerts, QList<int>{1});
    EXPECT_TRUE(functions.sweepPending() && !above.listening);
    functions.handleEnd(first[49]); // reported by its process while the pass waits
    functions.handleEnd(first[0]);  // handled already
    functions.sweepInSlices();      // a tick meanwhile leaves the pass to its slices
    EXPECT_EQ(above.alerts, (QList<int>{1, 50}));
    ASSERT_TRUE(testsupport::waitUntil([&] { return !functions.sweepPending(); }));
    EXPECT_EQ(above.alerts, order);
    EXPECT_EQ(count("TASK FAILURE: "), n);
    EXPECT_EQ(count("RE-START: "), n);
    EXPECT_EQ(processes.launched.size(), 2 * n);
    EXPECT_FALSE(above.listening);
    clock.advance(supervisionTickMs);
    functions.sweepInSlices();
    EXPECT_TRUE(above.listening);

    for (const int p : {1, 2, 3})
        processes.end(tasks[p].ProcessId);
    functions.sweepInSlices();
    functions.sweep();
    EXPECT_TRUE(above.alerts.size() == n + 3 && !functions.sweepPending());
    for (const int p : {1, 2})
        processes.end(tasks[p].ProcessId);
    functions.sweepInSlices();
    functions.beginShutdown();
    EXPECT_FALSE(functions.sweepPending());
    QCoreApplication::processEvents();
    EXPECT_EQ(above.alerts.size(), n + 4);
}

TEST_F(Supervisor, AllClearWaitsUntilTheRestartedProcessHasHeldOneInterval) {
    start("sleep 1", true, "Phoenix");
    functions.SignalAllUp();
    // The restarted process is gone before the restart's all-up check looks at it.
    processes.afterLaunch = [this](qint32 pid) {
        processes.afterLaunch = nullptr;
        processes.end(pid);
    };
    fail(1);
    EXPECT_TRUE(tasks[1].IsUp); // still supervised, not silently dropped
    EXPECT_TRUE(above.notifying && !above.listening);
    functions.sweep();
    EXPECT_EQ(count("TASK FAILURE: Phoenix"), 2);
    EXPECT_EQ(count("RE-START: "), 2);
    // A task that keeps ending at once must not open the port between its restarts.
    clock.advance(supervisionTickMs - 1);
    functions.sweep();
    EXPECT_TRUE(above.notifying);
    clock.advance(1);
    functions.sweep();
    EXPECT_TRUE(!above.notifying && above.listening);
}

TEST_F(Supervisor, RestartDuringTheAlertOrOfATaskThatIsUpKeepsOneListing) {
    start("sleep 1", true, "Phoenix");
    above.duringAlert = [this](int p) { functions.RestartTask(p); }; // the operator's Restart
    fail(1);
    EXPECT_EQ(count("RE-START: "), 1);
    functions.RestartTask(1); // from a stale details window
    EXPECT_EQ(up.count(), 1);
    EXPECT_EQ(processes.launched.size(), 3);
}

TEST_F(Supervisor, RestartLimitHoldsACrashLoopDownUntilTheOperatorRestartsIt) {
    start("sleep 1", true, "Loop");
    start("sleep 2", false, "Other");
    functions.configureRestartLimit("2, 10");
    QList<bool> limitedAtAlert; // what the alert of each failure can say
    above.duringAlert = [&](int p) { limitedAtAlert.append(tasks[p].restartLimited); };
    for (int i = 0; i < 3; ++i) // the third failure within the window is one too many
        fail(1);
    EXPECT_EQ(limitedAtAlert, (QList<bool>{false, false, true}));
    EXPECT_EQ(count("RESTART LIMIT: Loop (sleep 1)"), 1);
    EXPECT_EQ(count("RE-START: "), 2);
    EXPECT_TRUE(tasks[1].restartLimited && !tasks[1].IsUp && down.count() == 1);
    EXPECT_TRUE(above.notifying && !above.listening);

    // The operator's Restart lifts the limit and starts the count again; so does time.
    functions.RestartTask(1);
    EXPECT_FALSE(tasks[1].restartLimited);
    fail(1);
    clock.advance(10'000);
    fail(1);
    fail(1);
    EXPECT_EQ(count("RE-START: "), 6);
    fail(1);
    EXPECT_EQ(count("RESTART LIMIT: "), 2);
}

// Waits double from min up to max; a task that stayed up for max starts again from min. While it
// waits the task is down, and says for how long.
TEST_F(Supervisor, RestartDelayBacksOffAndStartsAgainAfterATaskHeldUp) {
    functions.configureRestartDelay("1, 4");
    start("sleep 1", true, "Loop");
    start("sleep 2", true, "Own");
    tasks[2].options.restartDelay = RestartDelay{100, 100}; // restart_delay=0.1,0.1
    const auto waitsOf = [&](int p) {
        fail(p);
        EXPECT_TRUE(!tasks[p].IsUp && down.count() >= 1 && !above.listening);
        const qint64 before = processes.launched.size();
        qint64 waited = 0;
        while (processes.launched.size() == before && waited < 10'000) {
            clock.advance(50);
            waited += 50;
        }
        return waited;
    };
    fail(1);
    EXPECT_EQ(functions.restartWaitText(1), "restarting in 1.0 s");
    EXPECT_EQ(processes.launched.size(), 2);
    clock.advance(999);
    EXPECT_EQ(processes.launched.size(), 2);
    clock.advance(1);
    EXPECT_TRUE(tasks[1].IsUp && functions.restartWaitText(1).isEmpty());
    EXPECT_EQ(waitsOf(1), 2000);
    EXPECT_EQ(waitsOf(1), 4000);
    EXPECT_EQ(waitsOf(1), 4000);
    clock.advance(4000);
    EXPECT_EQ(waitsOf(1), 1000);
    EXPECT_EQ(waitsOf(2), 100);
    // The operator's Restart does not wait, and the wait it replaced comes to nothing.
    fail(1);
    functions.RestartTask(1);
    EXPECT_TRUE(tasks[1].IsUp);
    clock.advance(5000);
    EXPECT_EQ(count("RE-START: 'sleep 1'"), 6);
    functions.configureRestartDelay("2,1");
    EXPECT_EQ(events().last(), "ERROR: RESTART_DELAY=2,1: min is above max; restarts are "
                               "immediate");
}

// A restart that cannot launch is tried again, said once, until the task is back.
TEST_F(Supervisor, RestartThatCannotLaunchIsTriedAgainUntilItStarts) {
    for (const bool delayed : {false, true}) {
        functions.configureRestartDelay(delayed ? "0.5,2" : "");
        start("sleep 1", true, "Loop");
        const int p = tasks.upperBound();
        processes.failures = 3;
        fail(p);
        EXPECT_TRUE(!tasks[p].IsUp && !functions.restartWaitText(p).isEmpty());
        clock.advance(delayed ? 500 + 1000 + 2000 + 2000 : 3 * 1000);
        EXPECT_TRUE(tasks[p].IsUp) << delayed;
        EXPECT_EQ(count("ERROR: Unable to restart 'sleep 1' (Loop): Resource temporarily "
                        "unavailable; trying again until it starts"),
                  delayed ? 2 : 1);
        EXPECT_EQ(processes.failures, 0);
        EXPECT_EQ(count("RE-START: 'sleep 1'"), delayed ? 2 : 1);
    }
}

TEST_F(Supervisor, UnusableRestartLimitIsLoggedAndLeavesTheLimitOff) {
    for (const char* value : {"0,10", "3", "a,10", "2,-5", "2,10,1"}) {
        functions.configureRestartLimit("2,10");
        functions.configureRestartLimit(value);
        EXPECT_TRUE(events().last().startsWith(
            QStringLiteral("ERROR: RESTART_LIMIT=%1: expected count,seconds").arg(value)));
        EXPECT_FALSE(functions.restartLimit().active()) << value;
    }
}

// The check's probe is a real program that fails while a file is missing; the task is a fake one
// that ignores the request to close, so only the kill ends it.
TEST_F(Supervisor, FailedHealthCheckClosesTheTaskAndKillsItWhenHung) {
    start("web --serve", true, "Web");
    start("db", false, "Db");
    functions.SignalAllUp();
    QString error;
    functions.setHealthCheck(
        1, *HealthCheckSpec::parse({{"check", "exec:test -e " + dir.filePath("ok")},
                                    {"check_grace", "1"},
                                    {"check_interval", "1"},
                                    {"check_timeout", "2"},
                                    {"check_retries", "2"}},
                                   &error));
    processes.ignoreClose = true;
    QStringList alertLines;
    above.duringAlert = [&](int p) { alertLines = healthAlertLines(tasks[p]); };
    const HealthCheck& check = *functions.healthCheck(1);
    const auto failTwice = [&] {
        for (int i = 0; i < 2; ++i) {
            clock.advance(1000);
            ASSERT_TRUE(testsupport::waitUntil([&] { return !check.probing(); }));
            EXPECT_EQ(above.listening, i == 0);
        }
    };
    failTwice();
    EXPECT_EQ(events().last(), "HEALTH CHECK FAILED: Web (exit status 1)");
    EXPECT_TRUE(above.notifying && tasks[1].IsUp && tasks[1].health.unhealthy);
    EXPECT_EQ(processes.closeRequests, QList<qint32>{tasks[1].ProcessId});
    functions.SignalAllUp(); // nothing opens the port while a task is unhealthy...
    functions.sweep();
    clock.advance(1999); // ...and no more checks run while it closes
    functions.sweep();
    EXPECT_TRUE(tasks[1].IsUp && !above.listening && !check.probing());
    clock.advance(1); // without STOP_TIMEOUT, the check's timeout
    functions.sweep();
    EXPECT_EQ(
        events().mid(2),
        QStringList({"HEALTH CHECK FAILED: Web (exit status 1)", "TASK FAILURE: Web (web --serve)",
                     "EXIT STATUS: Web: killed by signal 9 (SIGKILL)", "RE-START: 'web --serve'"}));
    EXPECT_EQ(alertLines, QStringList{"Health check failed: exit status 1"});
    EXPECT_TRUE(!tasks[1].health.unhealthy && tasks[1].health.failuresTotal == 2);
    clock.advance(supervisionTickMs);
    functions.sweep();
    EXPECT_TRUE(above.listening);

    // Rearmed by the restart, with its grace; STOP_TIMEOUT, when given, is the time to close.
    functions.setStopTimeout(4000);
    clock.advance(1000 - supervisionTickMs - 1);
    failTwice(); // at 1 s and 2 s after the restart, each seen 1 ms later
    EXPECT_EQ(count("HEALTH CHECK FAILED: "), 2);
    clock.advance(3999); // from the moment the failure is counted
    functions.sweep();
    EXPECT_TRUE(tasks[1].IsUp);
    clock.advance(1);
    functions.sweep();
    EXPECT_EQ(count("RE-START: "), 2);
}

} // namespace

TEST_F(Supervisor, OperatorStopIsNoFailureAndARestartWaitsForTheStoppedProcess) {
    start("web", true);
    start("db", true);
    functions.sweep();
    clock.advance(supervisionTickMs);
    functions.SignalAllUp();
    ASSERT_TRUE(above.listening);

    functions.StopTask(1, "alice (uid 1000)");
    EXPECT_FALSE(tasks[1].IsUp);
    EXPECT_FALSE(above.listening) << "the port says every task is up";
    EXPECT_FALSE(above.notifying) << "nothing failed";
    ASSERT_EQ(down.count(), 1);
    EXPECT_EQ(down.at(0).taskId, 1);
    EXPECT_EQ(events().last(), "STOP: web (web)");
    functions.sweep(); // sees the stopped process end
    EXPECT_FALSE(tasks[1].IsUp) << "a stop is no failure: no automatic restart";
    EXPECT_EQ(count("TASK FAILURE"), 0);
    EXPECT_TRUE(above.alerts.isEmpty());
    ASSERT_TRUE(tasks[1].lastExit);
    EXPECT_EQ(tasks[1].lastExit->signal(), SIGTERM);

    // restart: a stop, then a start once the process has been seen to end, never two copies.
    functions.RestartTask(1);
    ASSERT_TRUE(tasks[1].IsUp);
    const qint32 first = tasks[1].ProcessId;
    functions.StopTask(1, "alice (uid 1000)");
    functions.RestartTask(1);
    EXPECT_FALSE(tasks[1].IsUp);
    functions.sweep();
    EXPECT_TRUE(tasks[1].IsUp);
    EXPECT_NE(tasks[1].ProcessId, first);
    EXPECT_FALSE(tasks[1].stopped);

    // A stop while the failure's alert is out keeps the task down.
    above.duringAlert = [&](int p) { functions.StopTask(p, "bob (uid 1001)"); };
    fail(2);
    EXPECT_FALSE(tasks[2].IsUp);
    EXPECT_TRUE(tasks[2].stopped);
    EXPECT_EQ(count("RE-START: 'db'"), 0);
}

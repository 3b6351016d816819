#include "checks/HealthCheck.h"

#include "EngineDoubles.h"
#include "ManualClock.h"
#include "TestSupport.h"
#include "log/Log.h"
#include "tasks/TaskFunctions.h"

#include <QFileInfo>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>
#include <unistd.h>

using testsupport::waitUntil;

namespace {

using Options = QHash<QString, QString>;

HealthCheckSpec parsed(const Options& options) {
    QString error;
    const auto definition = HealthCheckSpec::parse(options, &error);
    EXPECT_TRUE(definition.has_value()) << qPrintable(error);
    return definition.value_or(HealthCheckSpec{});
}

// Gone, or a zombie left to the test's reaper: it runs no more.
bool ended(qint64 pid) {
    const QString stat = testsupport::readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.isEmpty() || stat.section(QLatin1Char(')'), -1).trimmed().startsWith(u'Z');
}

TEST(HealthCheckSpec, ParsesEachKindWithItsDefaultsAndTimes) {
    struct Row {
        Options options;
        const char* expected; // kind host:port target / interval timeout retries grace
    };
    const Row rows[] = {
        {{{"check", "tcp:8080"}}, "0 127.0.0.1:8080 / 10000 5000 3 30000"},
        {{{"check", "tcp:db.local:5432"}, {"check_interval", "0.5"}, {"check_timeout", "2.25"}},
         "0 db.local:5432 / 500 2250 3 30000"},
        {{{"check", "tcp:[::1]:80"}, {"check_retries", "1"}, {"check_grace", "0"}},
         "0 ::1:80 / 10000 5000 1 0"},
        {{{"check", "http://127.0.0.1:8080/health?full=1#top"}, {"user", "www"}},
         "1 127.0.0.1:8080 /health?full=1 10000 5000 3 30000"},
        {{{"check", "HTTP://web"}}, "1 web:80 / 10000 5000 3 30000"},
        {{{"check", "exec:true --x 'a b'"}}, "2 :0 / 10000 5000 3 30000"},
    };
    for (const Row& row : rows) {
        const HealthCheckSpec definition = parsed(row.options);
        const QString text =
            QStringLiteral("%1 %2:%3 %4 %5 %6 %7 %8")
                .arg(static_cast<int>(definition.kind))
                .arg(definition.host)
                .arg(definition.port)
                .arg(definition.target.isEmpty() ? "/" : definition.target.constData())
                .arg(definition.intervalMs)
                .arg(definition.timeoutMs)
                .arg(definition.retries)
                .arg(definition.graceMs);
        EXPECT_EQ(text, row.expected);
    }
    const HealthCheckSpec exec = parsed({{"check", "exec:true --x 'a b'"}});
    EXPECT_TRUE(QFileInfo(exec.command.first()).isAbsolute());
    EXPECT_EQ(exec.command.mid(1), QStringList({"--x", "a b"}));
    QString error = "x";
    EXPECT_FALSE(HealthCheckSpec::parse({{"user", "www"}}, &error) || !error.isEmpty());
}

TEST(HealthCheckSpec, RefusesEveryUnusableValueWithItsReason) {
    const std::pair<Options, const char*> rows[] = {
        {{{"check", ""}}, "check=: no kind of check"},
        {{{"check", "8080"}}, "no kind of check"},
        {{{"check", "udp:53"}}, "unknown kind of check 'udp'"},
        {{{"check", "http:/web/"}}, "malformed URL"},
        {{{"check", "https://web/"}}, "HTTPS is not supported"},
        {{{"check", "tcp:0"}}, "the port 0 is out of range"},
        {{{"check", "tcp:web:65536"}}, "the port 65536 is out of range"},
        {{{"check", "tcp:web:x"}}, "the port 'x' is not a number"},
        {{{"check", "tcp:"}}, "the port '' is not a number"},
        {{{"check", "tcp:[::1"}}, "malformed address"},
        {{{"check", "tcp:a b:1"}}, "malformed host 'a b'"},
        {{{"check", "http://web:99999/"}}, "out of range"},
        {{{"check", "http://u:pw@web/"}}, "user name or password"},
        {{{"check", "http://web/a\r\nX-Injected: 1"}}, "control"},
        {{{"check", "exec:"}}, "no probe command"},
        {{{"check", "exec:no-such-probe-program"}}, "'no-such-probe-program' cannot be found"},
        {{{"check", "exec:sh -c 'exit"}}, "unbalanced single quote"},
        {{{"check", "tcp:1"}, {"check_interval", "0"}}, "check_interval=0 is out of range"},
        {{{"check", "tcp:1"}, {"check_interval", "0.0001"}}, "out of range"},
        {{{"check", "tcp:1"}, {"check_timeout", "-1"}}, "check_timeout=-1 is not a number"},
        {{{"check", "tcp:1"}, {"check_timeout", "1e3"}}, "not a number"},
        {{{"check", "tcp:1"}, {"check_grace", "100000"}}, "check_grace=100000 is out of range"},
        {{{"check", "tcp:1"}, {"check_retries", "0"}}, "check_retries=0 is out of range"},
        {{{"check", "tcp:1"}, {"check_retries", "2.5"}}, "check_retries=2.5 is out of range"},
        {{{"check", "tcp:1"}, {"check_port", "1"}}, "unknown option check_port"},
        {{{"check_interval", "5"}}, "check_ options without check="},
    };
    for (const auto& [options, expected] : rows) {
        QString error;
        EXPECT_FALSE(HealthCheckSpec::parse(options, &error).has_value()) << expected;
        EXPECT_TRUE(error.contains(QLatin1String(expected))) << qPrintable(error);
    }
}

class Checks : public ::testing::Test {
  protected:
    // A check of the definition on the manual clock, its signals counted.
    HealthCheck& make(Options options) {
        check = std::make_unique<HealthCheck>(parsed(options), clock);
        QObject::connect(check.get(), &HealthCheck::unhealthy,
                         [this](const QString& reason) { unhealthy.append(reason); });
        QObject::connect(check.get(), &HealthCheck::healthy, [this] { ++healthy; });
        return *check;
    }
    // The probe that is running ends by itself.
    static bool settled(const HealthCheck& c) {
        return waitUntil([&] { return !c.probing(); });
    }
    QString file(const char* name) { return dir.filePath(QLatin1String(name)); }

    QTemporaryDir dir;
    testsupport::ManualClock clock;
    std::unique_ptr<HealthCheck> check;
    QStringList unhealthy;
    int healthy = 0;
};

// Probes of a program that passes while a file exists, so the test decides each result.
TEST_F(Checks, GraceThenRetriesMakeOneUnhealthyEpisodeThatAPassEnds) {
    HealthCheck& c = make({{"check", "exec:test -e " + file("ok")},
                           {"check_grace", "2"},
                           {"check_interval", "1"},
                           {"check_retries", "2"}});
    c.arm();
    clock.advance(1999);
    EXPECT_FALSE(c.probing());
    clock.advance(1);
    ASSERT_TRUE(c.probing() && settled(c));
    EXPECT_TRUE(c.state().failuresInRow == 1 && !c.state().unhealthy && unhealthy.isEmpty());
    for (int i = 0; i < 2; ++i) { // the second failure begins the episode, the third adds to it
        clock.advance(1000);
        ASSERT_TRUE(settled(c));
    }
    EXPECT_EQ(unhealthy, QStringList{"exit status 1"});
    EXPECT_TRUE(c.state().unhealthy && c.state().failuresInRow == 3 &&
                c.state().lastReason == "exit status 1");

    ASSERT_TRUE(testsupport::writeFile(file("ok")));
    clock.advance(1000);
    ASSERT_TRUE(settled(c));
    EXPECT_TRUE(healthy == 1 && !c.state().unhealthy && c.state().failuresInRow == 0);
    EXPECT_EQ(c.state().failuresTotal, 3u);

    // A launch starts over with the grace; disarmed, nothing runs.
    c.arm();
    clock.advance(1000);
    EXPECT_FALSE(c.probing());
    c.disarm();
    clock.advance(60'000);
    EXPECT_FALSE(c.probing());
}

// A probe that forks and ignores SIGTERM is killed with its session at the timeout; the probe
// that was due meanwhile waits for it instead of running beside it.
TEST_F(Checks, HangingProbeIsKilledWithItsSessionAndTheNextWaits) {
    HealthCheck& c = make({{"check", "exec:sh -c 'trap \"\" TERM; sleep 1000 & echo $$ $! > " +
                                         file("pids") + "; wait'"},
                           {"check_grace", "0"},
                           {"check_interval", "1"},
                           {"check_timeout", "2.5"}});
    c.arm();
    clock.advance(0);
    QStringList pids;
    ASSERT_TRUE(waitUntil([&] {
        pids = testsupport::readFile(file("pids")).split(' ', Qt::SkipEmptyParts);
        return pids.size() == 2;
    }));
    clock.advance(2000); // two intervals pass while the probe hangs
    EXPECT_EQ(c.state().failuresTotal, 0u);
    clock.advance(500);
    EXPECT_EQ(c.state().lastReason, "timed out after 2.5 s");
    EXPECT_EQ(c.state().failuresTotal, 1u);
    EXPECT_TRUE(c.probing()); // the overdue probe, at once
    EXPECT_TRUE(waitUntil([&] { return ended(pids[0].toInt()) && ended(pids[1].toInt()); }));
    c.disarm();
}

// Each probe against a real server or program: what it answers, and the reason given.
TEST_F(Checks, ProbesJudgeRealServersAndProgramsByWhatTheyAnswer) {
    const quint16 port = testsupport::freePort();
    QProcess server;
    server.start("python3", {testsupport::sourceDir() + "/tests/checks/probe_server.py",
                             QString::number(port), file("requests")});
    ASSERT_TRUE(waitUntil([&] { return server.readAllStandardOutput().contains("ready"); }));
    const QString http = QStringLiteral("http://127.0.0.1:%1").arg(port);
    const QString free = QString::number(testsupport::freePort());
    const std::pair<QString, QString> rows[] = {
        {"tcp:" + QString::number(port), ""},
        {"tcp:localhost:" + QString::number(port), ""},
        {"tcp:127.0.0.1:" + free, "connection refused"},
        {http + "/204", ""},
        {http + "/302", ""},
        {http + "/503", "HTTP 503"},
        {http + "/404", "HTTP 404"},
        {http + "/garbage", "not an HTTP answer"},
        {http + "/noline", "no HTTP status line in the first 4 KiB"},
        {http + "/flood", ""},
        {http + "/close", "connection closed before an answer"},
        {http + "/silent", "timed out after 3 s"},
        {"http://127.0.0.1:" + free + "/", "connection refused"},
        {"exec:true", ""},
        {"exec:false", "exit status 1"},
        {"exec:sh -c 'kill -9 $$'", "killed by signal 9 (SIGKILL)"},
        // Output goes nowhere: a probe that writes much never waits on a full pipe.
        {"exec:sh -c 'yes | head -c 20000000'", ""},
    };
    for (const auto& [text, reason] : rows) {
        HealthCheck& c = make({{"check", text},
                               {"check_grace", "0"},
                               {"check_timeout", "3"},
                               {"check_retries", "1"}});
        c.arm();
        clock.advance(0);
        if (text.endsWith("/silent")) {
            ASSERT_TRUE(waitUntil(
                [&] { return testsupport::readFile(file("requests")).contains("/silent"); }));
            clock.advance(3000);
        }
        ASSERT_TRUE(settled(c)) << qPrintable(text);
        EXPECT_EQ(c.state().failuresTotal == 0 ? QString() : c.state().lastReason, reason)
            << qPrintable(text);
        c.disarm();
    }
    if (::geteuid() == 0) { // the probe program runs as the task's user
        HealthCheckSpec definition = parsed(
            {{"check", "exec:sh -c 'test $(id -u):$(id -G) = 65534:65534'"}, {"check_grace", "0"}});
        definition.runAs = HealthCheckSpec::RunAs{65534, 65534, {65534}};
        HealthCheck asNobody(definition, clock);
        asNobody.arm();
        clock.advance(0);
        ASSERT_TRUE(settled(asNobody));
        EXPECT_EQ(asNobody.state().failuresTotal, 0u) << qPrintable(asNobody.state().lastReason);
    }
    // The flood's sender learnt that nobody read on long before its gigabyte.
    QString sent;
    ASSERT_TRUE(waitUntil([&] {
        sent =
            testsupport::readFile(file("requests")).section("/flood sent ", 1).section('\n', 0, 0);
        return !sent.isEmpty();
    }));
    EXPECT_LT(sent.toLongLong(), 64LL << 20);
    server.kill();
    server.waitForFinished();
}

// A server stopped with SIGSTOP still accepts connections but answers nothing: its HTTP check
// times out, the task is asked to close, killed since its SIGTERM handler cannot run, and
// restarted.
TEST_F(Checks, StoppedServerFailsItsChecksAndIsKilledAndRestarted) {
    Log log{ProgramInfo{dir.path(), QStringLiteral("prowlix")}};
    log.LogActivity = true;
    TaskTable tasks;
    TaskList up, down;
    testsupport::SpyingProcesses processes;
    TaskFunctions functions{tasks, up, down, log, processes, clock};
    const quint16 port = testsupport::freePort();
    QString name = "Web";
    qint16 mode = 0;
    // The check comes with the task's options, as a START line gives them.
    functions.StartTask(name,
                        QStringLiteral("python3 %1/tests/checks/probe_server.py %2 %3")
                            .arg(testsupport::sourceDir())
                            .arg(port)
                            .arg(file("requests")),
                        mode, true,
                        {QStringLiteral("check=http://127.0.0.1:%1/").arg(port), "check_grace=0",
                         "check_interval=1", "check_timeout=0.5", "check_retries=2"});
    ASSERT_EQ(tasks.upperBound(), 1);
    // One whose check cannot be used does not start.
    QString bad = "Bad";
    functions.StartTask(bad, "sleep 1", mode, true, {"check=https://127.0.0.1/"});
    EXPECT_EQ(tasks.upperBound(), 1);
    EXPECT_TRUE(log.LogContents(QDate::currentDate())
                    .contains("ERROR: Unable to start Bad (sleep 1): check=https://127.0.0.1/: "))
        << qPrintable(log.LogContents(QDate::currentDate()));
    const HealthCheck& c = *functions.healthCheck(1);
    const qint32 first = tasks[1].ProcessId;
    ASSERT_TRUE(waitUntil([&] {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        return probe.waitForConnected(1000);
    }));
    clock.advance(0);
    ASSERT_TRUE(settled(c));
    EXPECT_EQ(c.state().failuresTotal, 0u);

    ::kill(first, SIGSTOP);
    clock.advance(1500); // probes at 1 s and 2 s wait in vain for half a second each
    EXPECT_EQ(c.state().failuresInRow, 1u);
    clock.advance(1000);
    EXPECT_TRUE(tasks[1].health.unhealthy && tasks[1].IsUp);
    EXPECT_EQ(processes.closeRequests, QList<qint32>{first});
    clock.advance(500); // SIGTERM waits while the process is stopped; SIGKILL does not
    ASSERT_TRUE(waitUntil([&] {
        functions.sweep();
        return tasks[1].restartCount == 1;
    }));
    const QString events = log.LogContents(QDate::currentDate());
    const QStringList expected = {
        "HEALTH CHECK FAILED: Web (timed out after 0.5 s)", "TASK FAILURE: Web",
        "EXIT STATUS: Web: killed by signal 9 (SIGKILL)", "RE-START: 'python3"};
    qsizetype at = 0;
    for (const QString& line : expected) {
        at = events.indexOf(line, at);
        EXPECT_GE(at, 0) << qPrintable(line) << qPrintable(events);
    }
    EXPECT_TRUE(tasks[1].ProcessId != first && !tasks[1].health.unhealthy);
    EXPECT_EQ(tasks[1].health.failuresTotal, 2u);
    ::kill(tasks[1].ProcessId, SIGKILL);
}

} // namespace

// A monitor that outlives itself, on the real binary: killed with SIGKILL and started again it
// adopts what still runs, reports what ended meanwhile, trusts no state file it cannot prove,
// refuses to be a second monitor of its configuration, and keeps the service manager's watchdog.
#include "MonitorProcess.h"
#include "TestSupport.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using testsupport::MonitorProcess;
using testsupport::readFile;
using testsupport::waitUntil;
using testsupport::writeFile;

namespace {

// Every live process (zombies have no arguments) whose arguments read as this command.
QList<qint64> processesOf(const QString& command) {
    QList<qint64> pids;
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (!number)
            continue;
        QByteArray arguments = QFile::exists("/proc/" + entry + "/cmdline")
                                   ? readFile("/proc/" + entry + "/cmdline").toUtf8()
                                   : QByteArray();
        if (arguments.endsWith('\0'))
            arguments.chop(1);
        if (!arguments.isEmpty() && QString::fromUtf8(arguments.replace('\0', ' ')) == command)
            pids.append(pid);
    }
    return pids;
}

QString stateFileOf(const QString& runtimeDir) {
    const QStringList names = QDir(runtimeDir).entryList({"*.state"}, QDir::Files | QDir::System);
    return names.size() == 1 ? runtimeDir + '/' + names[0] : QString();
}

// The recorded process of each task, by name.
std::map<QString, qint64> recordedPids(const QString& runtimeDir) {
    std::map<QString, qint64> pids;
    const QString path = stateFileOf(runtimeDir);
    if (path.isEmpty())
        return pids;
    const QJsonObject root = QJsonDocument::fromJson(readFile(path).toUtf8()).object();
    for (const QJsonValue& task : root.value("tasks").toArray())
        pids[task["name"].toString()] = task["pid"].toInteger();
    return pids;
}

quint64 startTimeOf(qint64 pid) {
    const QString stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.mid(stat.lastIndexOf(')') + 2).split(' ').value(19).toULongLong();
}

QByteArray
stateText(qint64 pid, quint64 startTime, const QString& command,
          const QString& bootId = readFile("/proc/sys/kernel/random/boot_id").trimmed()) {
    const QJsonObject task{{"id", 1},
                           {"name", "A"},
                           {"command", command},
                           {"pid", pid},
                           {"startTime", QString::number(startTime)}};
    return QJsonDocument(QJsonObject{{"version", 1},
                                     {"bootId", bootId},
                                     {"monitorPid", 1},
                                     {"tasks", QJsonArray{task}}})
        .toJson();
}

QString taskLines(const QStringList& lines) {
    return QStringLiteral("port=%1\n").arg(testsupport::freePort()) + lines.join('\n') + '\n';
}

} // namespace

TEST(SurvivalTest, SuccessorAdoptsWhatRunsReportsWhatEndedAndLeavesTheUnconfigured) {
    MonitorProcess monitor;
    const QString run = monitor.dir() + "/run", ini = monitor.dir() + "/tasks.ini";
    const QString a = "sleep 7001.1", b = "sleep 7001.2", c = "sleep 7001.3";
    ASSERT_TRUE(writeFile(ini, taskLines({"START=" + a + ",A,,True", "START=" + b + ",B,,True",
                                          "START=" + c + ",C,,True"})
                                   .toUtf8()));
    monitor.start({"/NOGUI", "/I:" + ini});
    ASSERT_TRUE(waitUntil([&] { return recordedPids(run).size() == 3; }));
    const auto first = recordedPids(run);
    ::kill(static_cast<pid_t>(monitor.pid()), SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return !monitor.running(); }));
    // While no monitor runs, B ends and C leaves the configuration.
    ::kill(static_cast<pid_t>(first.at("B")), SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return processesOf(b).isEmpty(); }));
    ASSERT_TRUE(
        writeFile(ini, taskLines({"START=" + a + ",A,,True", "START=" + b + ",B,,True"}).toUtf8()));
    monitor.start({"/NOGUI", "/I:" + ini});
    ASSERT_TRUE(monitor.waitForLog("RE-START: '" + b + "'")) << qPrintable(monitor.log());
    const QString log = monitor.log();
    EXPECT_TRUE(log.contains("ADOPT: A (" + a + ")")) << qPrintable(log);
    EXPECT_EQ(log.count("START: A ("), 1);
    EXPECT_TRUE(log.contains("TASK FAILURE: B (" + b + ")") &&
                log.contains("EXIT STATUS: B: unknown (not started by this monitor)"))
        << qPrintable(log);
    EXPECT_TRUE(waitUntil([&] {
        return monitor.log().contains("ORPHAN: C (" + c + "): no longer configured, left running");
    }));
    EXPECT_EQ(processesOf(a), QList<qint64>{first.at("A")});
    EXPECT_EQ(processesOf(b).size(), 1);
    EXPECT_EQ(processesOf(c), QList<qint64>{first.at("C")});
    // The adopted process is watched like a launched one: its end is a failure and a restart.
    ::kill(static_cast<pid_t>(first.at("A")), SIGKILL);
    ASSERT_TRUE(monitor.waitForLog("RE-START: '" + a + "'")) << qPrintable(monitor.log());
    EXPECT_EQ(processesOf(a).size(), 1);
    EXPECT_EQ(monitor.log().count("TASK FAILURE: A ("), 1);
    // A's restart is in the state file's journal only: killed now, the monitor still leaves its
    // successor every process.
    const QList<qint64> restartedA = processesOf(a);
    ::kill(static_cast<pid_t>(monitor.pid()), SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return !monitor.running(); }));
    // SIGQUIT hands the tasks over even with kill=True; SIGTERM then closes them and, with no
    // task left running, removes the state file.
    ASSERT_TRUE(writeFile(
        ini,
        taskLines({"kill=True", "START=" + a + ",A,,True", "START=" + b + ",B,,True"}).toUtf8()));
    monitor.start({"/NOGUI", "/I:" + ini});
    ASSERT_TRUE(waitUntil([&] { return monitor.log().count("ADOPT: ") == 3; }))
        << qPrintable(monitor.log());
    EXPECT_EQ(processesOf(a), restartedA);
    EXPECT_TRUE(monitor.stop(SIGQUIT));
    EXPECT_EQ(processesOf(a).size() + processesOf(b).size(), 2);
    monitor.start({"/NOGUI", "/I:" + ini});
    ASSERT_TRUE(waitUntil([&] { return monitor.log().count("ADOPT: ") == 5; }))
        << qPrintable(monitor.log());
    EXPECT_TRUE(monitor.stop());
    EXPECT_TRUE(waitUntil([&] { return processesOf(a).isEmpty() && processesOf(b).isEmpty(); }));
    EXPECT_TRUE(stateFileOf(run).isEmpty());
    EXPECT_TRUE(QDir(run).entryList({"*.journal"}, QDir::Files).isEmpty());
}

// A monitor killed between a launch and its record leaves the launch under way in the file: its
// successor finds the process (the command, started since, leading its own session) and adopts it.
TEST(SurvivalTest, ALaunchUnderWayIsFoundByTheSuccessor) {
    MonitorProcess monitor;
    const QString run = monitor.dir() + "/run", ini = monitor.dir() + "/tasks.ini";
    const QString task = "sleep 7010.1";
    ASSERT_TRUE(writeFile(ini, taskLines({"START=" + task + ",A,,True"}).toUtf8()));
    monitor.start({"/NOGUI", "/I:" + ini});
    ASSERT_TRUE(waitUntil([&] { return recordedPids(run).size() == 1; }));
    const QString path = stateFileOf(run);
    ::kill(static_cast<pid_t>(monitor.pid()), SIGKILL);
    ::kill(static_cast<pid_t>(recordedPids(run).at("A")), SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return !monitor.running() && processesOf(task).isEmpty(); }));
    // The moment before the launch, in the clock ticks of a process start time.
    const auto before =
        static_cast<quint64>(readFile("/proc/uptime").section(' ', 0, 0).toDouble() *
                             static_cast<double>(::sysconf(_SC_CLK_TCK)));
    QProcess launched; // what the killed monitor had launched: a session of its own
    launched.start("setsid", task.split(' '));
    ASSERT_TRUE(launched.waitForStarted());
    const QJsonObject entry{{"id", 1},
                            {"name", "A"},
                            {"command", task},
                            {"pid", 0},
                            {"startTime", QString::number(before)}};
    ASSERT_TRUE(writeFile(
        path,
        QJsonDocument(QJsonObject{{"version", 1},
                                  {"bootId", readFile("/proc/sys/kernel/random/boot_id").trimmed()},
                                  {"monitorPid", 1},
                                  {"tasks", QJsonArray{}},
                                  {"launching", QJsonArray{entry}}})
            .toJson()));
    monitor.start({"/NOGUI", "/I:" + ini});
    ASSERT_TRUE(monitor.waitForLog("ADOPT: A (" + task + ")")) << qPrintable(monitor.log());
    EXPECT_EQ(processesOf(task), QList<qint64>{launched.processId()});
    EXPECT_TRUE(monitor.stop());
    launched.kill();
    launched.waitForFinished();
}

TEST(SurvivalTest, OneMonitorPerConfiguration) {
    QTemporaryDir shared;
    const QString ini = shared.filePath("tasks.ini"), task = "sleep 7002.1";
    ASSERT_TRUE(writeFile(ini, taskLines({"START=" + task + ",A,,False"}).toUtf8()));
    QProcessEnvironment environment = MonitorProcess::headlessEnvironment();
    environment.insert("PROWLIX_RUNTIME_DIR", shared.filePath("run"));
    MonitorProcess first, second;
    first.start({"/NOGUI", "/I:" + ini}, environment);
    ASSERT_TRUE(first.waitForLog("PORT: "));
    const QString firstLog = first.log();
    second.process().setProcessChannelMode(QProcess::SeparateChannels);
    second.start({"/NOGUI", "/I:" + ini}, environment);
    ASSERT_TRUE(second.process().waitForFinished(10000));
    EXPECT_EQ(second.process().exitCode(), 1);
    const QString refusal = QStringLiteral("another monitor (process id %1)").arg(first.pid());
    EXPECT_TRUE(QString::fromLocal8Bit(second.process().readAllStandardError()).contains(refusal));
    const QStringList secondLines = second.log().split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(secondLines.size(), 1) << qPrintable(second.log());
    EXPECT_TRUE(secondLines[0].contains("REFUSED: " + refusal));
    EXPECT_EQ(first.log(), firstLog);
    EXPECT_EQ(processesOf(task).size(), 1);

    // Two started at the same instant: one runs (and adopts the task), the other is refused.
    ASSERT_TRUE(first.stop());
    first.start({"/NOGUI", "/I:" + ini}, environment);
    second.start({"/NOGUI", "/I:" + ini}, environment);
    ASSERT_TRUE(waitUntil([&] { return !first.running() || !second.running(); }));
    MonitorProcess& winner = first.running() ? first : second;
    MonitorProcess& loser = first.running() ? second : first;
    EXPECT_EQ(loser.process().exitCode(), 1);
    ASSERT_TRUE(winner.waitForLog("ADOPT: A (" + task + ")")) << qPrintable(winner.log());
    ASSERT_TRUE(waitUntil([&] { return winner.log().section("ADOPT: ", 1).contains("PORT: "); }));
    EXPECT_TRUE(winner.running());
    EXPECT_EQ(processesOf(task).size(), 1);
    EXPECT_TRUE(winner.stop());
}

// Nothing that cannot be proven the recorded process is adopted or signalled: a number another
// process holds now reads as a task that ended, a state file that cannot be trusted is one
// warning, and the configured task starts as usual.
TEST(SurvivalTest, UntrustedStateIsNeverAdopted) {
    const QString task = "sleep 7003.1";
    struct Row {
        const char* name;
        QString stranger; // another process the state file may name
        std::function<void(const QString& path, qint64 pid, quint64 start)> plant;
        QString expected;
    };
    const auto plainFile = [](const QByteArray& bytes) {
        return
            [bytes](const QString& path, qint64, quint64) { ASSERT_TRUE(writeFile(path, bytes)); };
    };
    const Row rows[] = {
        {"another start time", task,
         [&](const QString& path, qint64 pid, quint64 start) {
             ASSERT_TRUE(writeFile(path, stateText(pid, start + 1, task)));
         },
         "EXIT STATUS: A: unknown (not started by this monitor)"},
        {"another command", "sleep 7003.2",
         [&](const QString& path, qint64 pid, quint64 start) {
             ASSERT_TRUE(writeFile(path, stateText(pid, start, task)));
         },
         "EXIT STATUS: A: unknown (not started by this monitor)"},
        {"another boot", task,
         [&](const QString& path, qint64 pid, quint64 start) {
             ASSERT_TRUE(writeFile(path, stateText(pid, start, task, "0-0-0")));
         },
         "ignored: written before the last boot"},
        {"another user", task,
         [&](const QString& path, qint64 pid, quint64 start) {
             ASSERT_TRUE(writeFile(path, stateText(pid, start, task)));
             ASSERT_EQ(::chown(QFile::encodeName(path).constData(), 65534, 65534), 0);
         },
         "ignored: written by another user"},
        {"symbolic link", task,
         [&](const QString& path, qint64 pid, quint64 start) {
             ASSERT_TRUE(writeFile(path + ".real", stateText(pid, start, task)));
             ASSERT_TRUE(QFile::link(path + ".real", path));
         },
         "ignored: a symbolic link"},
        {"garbage", task,
         plainFile("\x7f"
                   "ELF\x01\x02 not a state"),
         "ignored: not a state file"},
        {"truncated", task,
         [&](const QString& path, qint64 pid, quint64 start) {
             ASSERT_TRUE(writeFile(path, stateText(pid, start, task).left(60)));
         },
         "ignored: not a state file"},
        {"huge", task,
         [](const QString& path, qint64, quint64) {
             QFile file(path);
             ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.resize(64 << 20));
         },
         "ignored: too big"},
        {"runtime directory is a file", task,
         [](const QString& path, qint64, quint64) {
             ASSERT_TRUE(QDir(QFileInfo(path).path()).removeRecursively() &&
                         writeFile(QFileInfo(path).path()));
         },
         "WARNING: runtime directory unusable"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        MonitorProcess monitor;
        const QString run = monitor.dir() + "/run", ini = monitor.dir() + "/tasks.ini";
        // The state file is named from the configuration: a first monitor shows where it goes.
        ASSERT_TRUE(
            writeFile(ini, ("kill=True\n" + taskLines({"START=" + task + ",A,,False"})).toUtf8()));
        monitor.start({"/NOGUI", "/I:" + ini});
        ASSERT_TRUE(waitUntil([&] { return !stateFileOf(run).isEmpty(); }));
        const QString path = stateFileOf(run);
        ASSERT_TRUE(monitor.stop()); // kill=True: its task is asked to close, the file goes
        ASSERT_TRUE(waitUntil([&] { return processesOf(task).isEmpty(); }));
        QProcess stranger;
        stranger.start("sleep", row.stranger.split(' ').mid(1));
        ASSERT_TRUE(stranger.waitForStarted());
        row.plant(path, stranger.processId(), startTimeOf(stranger.processId()));
        monitor.start({"/NOGUI", "/I:" + ini});
        // A task found ended while no monitor ran is down: start-up leaves the port closed.
        const bool ended = row.expected.contains("EXIT");
        ASSERT_TRUE(waitUntil([&] {
            return monitor.log().count(ended ? "STATUS PORT CLOSED" : "PORT: ") == (ended ? 1 : 2);
        })) << qPrintable(monitor.log());
        ASSERT_TRUE(monitor.waitForLog(row.expected)) << qPrintable(monitor.log());
        const QString log = monitor.log();
        EXPECT_FALSE(log.contains("ADOPT: ")) << qPrintable(log);
        EXPECT_EQ(log.count("WARNING: "),
                  row.expected.contains("ignored") || row.expected.contains("WARNING") ? 1 : 0)
            << qPrintable(log);
        EXPECT_EQ(log.count("START: A (" + task + ")"), ended ? 1 : 2);
        // The shutdown's kill step passes the stranger by: it was never the task's.
        EXPECT_TRUE(monitor.stop());
        EXPECT_EQ(stranger.state(), QProcess::Running);
        stranger.kill();
        stranger.waitForFinished();
    }
}

TEST(SurvivalTest, WatchdogPingsOnlyWhenAskedForThisProcess) {
    struct Row {
        const char* usec;
        const char* pid; // WATCHDOG_PID, "" for none
        bool pings;
    };
    const Row rows[] = {{"200000", "", true}, {"200000", "1", false}, {"", "", false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.usec) + "/" + row.pid);
        QTemporaryDir dir;
        const QByteArray path = QFile::encodeName(dir.filePath("notify"));
        const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.constData(), static_cast<size_t>(path.size()));
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        QProcessEnvironment environment = MonitorProcess::headlessEnvironment();
        environment.insert("NOTIFY_SOCKET", QString::fromLocal8Bit(path));
        if (*row.usec != '\0')
            environment.insert("WATCHDOG_USEC", row.usec);
        if (*row.pid != '\0')
            environment.insert("WATCHDOG_PID", row.pid);
        MonitorProcess monitor;
        monitor.start({"/NOGUI", QStringLiteral("/P:%1").arg(testsupport::freePort())},
                      environment);
        // Datagrams until READY=1, then for three watchdog intervals.
        QStringList received;
        QDeadlineTimer deadline(std::chrono::seconds(10));
        while (!deadline.hasExpired()) {
            pollfd ready{fd, POLLIN, 0};
            if (::poll(&ready, 1, static_cast<int>(deadline.remainingTime())) <= 0)
                break;
            char buffer[256];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            received.append(QString::fromLatin1(buffer, static_cast<int>(std::max<ssize_t>(n, 0))));
            if (received.last() == "READY=1")
                deadline.setRemainingTime(std::chrono::milliseconds(600));
        }
        ::close(fd);
        ASSERT_TRUE(received.contains("READY=1")) << qPrintable(received.join(','));
        const auto pings = received.count("WATCHDOG=1");
        EXPECT_TRUE(row.pings ? pings >= 3 : pings == 0) << qPrintable(received.join(','));
        EXPECT_TRUE(monitor.stop());
    }
}

// A desktop monitor whose X server ends goes on headless in the same process: its tasks are
// adopted, not doubled, still reaped as its children, and restarted when they fail.
TEST(SurvivalTest, DisplayGoneGoesOnHeadless) {
    if (QStandardPaths::findExecutable("Xvfb").isEmpty())
        GTEST_SKIP() << "no Xvfb";
    QProcess xvfb;
    xvfb.start("Xvfb", {"-displayfd", "1", "-screen", "0", "640x480x24", "-nolisten", "tcp"});
    ASSERT_TRUE(waitUntil([&] { return xvfb.canReadLine(); }));
    const QString display = ':' + QString::fromLatin1(xvfb.readLine()).trimmed();
    MonitorProcess monitor(true);
    const QString ini = monitor.dir() + "/tasks.ini", task = "sleep 7008.1";
    ASSERT_TRUE(writeFile(ini, taskLines({"START=" + task + ",A,,True"}).toUtf8()));
    QProcessEnvironment environment = MonitorProcess::headlessEnvironment();
    environment.insert("DISPLAY", display);
    environment.insert("QT_QPA_PLATFORM", "xcb");
    monitor.start({"/I:" + ini}, environment);
    ASSERT_TRUE(monitor.waitForLog("PORT: "));
    const qint64 pid = monitor.pid();
    xvfb.kill();
    ASSERT_TRUE(monitor.waitForLog("WARNING: the display is gone; going on headless"))
        << qPrintable(monitor.log());
    ASSERT_TRUE(monitor.waitForLog("ADOPT: A (" + task + ")")) << qPrintable(monitor.log());
    EXPECT_TRUE(monitor.running());
    EXPECT_EQ(monitor.pid(), pid);
    const QList<qint64> tasks = processesOf(task);
    ASSERT_EQ(tasks.size(), 1);
    ::kill(static_cast<pid_t>(tasks[0]), SIGKILL);
    ASSERT_TRUE(monitor.waitForLog("RE-START: '" + task + "'")) << qPrintable(monitor.log());
    EXPECT_TRUE(monitor.log().contains("EXIT STATUS: A: killed by signal 9 (SIGKILL)"));
    EXPECT_EQ(processesOf(task).size(), 1);
    EXPECT_TRUE(monitor.stop());
    xvfb.waitForFinished();
}

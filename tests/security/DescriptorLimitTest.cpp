#include "MonitorProcess.h"
#include "TestSupport.h"

#include <QFile>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>

using testsupport::MonitorProcess;

namespace {

// The "Max open files" soft and hard values of a running process.
QStringList openFileLimits(qint64 pid) {
    const QString limits = testsupport::readFile(QStringLiteral("/proc/%1/limits").arg(pid));
    for (const QString& line : limits.split(QLatin1Char('\n')))
        if (line.startsWith(QLatin1String("Max open files")))
            return line.mid(14).split(QLatin1Char(' '), Qt::SkipEmptyParts).mid(0, 2);
    return {};
}

// Runs a monitor with more tasks than descriptors under the given limits and checks that it
// still logs, listens and reports a killed task.
void superviseManyTasks(rlim_t soft, rlim_t hard) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const quint16 port = testsupport::freePort();
    QByteArray ini = "port=" + QByteArray::number(port) + "\n";
    constexpr int tasks = 200;
    for (int i = 0; i < tasks; ++i)
        ini += "START=/bin/sleep " + QByteArray::number(3600 + i) + ",t" + QByteArray::number(i) +
               ",,False\n";
    const QString iniPath = dir.path() + QStringLiteral("/many.ini");
    QFile file(iniPath);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(ini) == ini.size());
    file.close();

    MonitorProcess monitor;
    monitor.process().setChildProcessModifier([soft, hard] {
        const rlimit low{soft, hard};
        setrlimit(RLIMIT_NOFILE, &low);
    });
    monitor.start({QStringLiteral("/NOGUI"), QStringLiteral("/I:") + iniPath});

    // The tasks run in sessions of their own and outlive the monitor: end them by their ids,
    // whatever the checks below find.
    struct Tasks {
        QList<qint64> pids;
        ~Tasks() {
            for (const qint64 pid : pids)
                ::kill(static_cast<pid_t>(pid), SIGKILL);
        }
    } launched;
    const auto readChildren = [&monitor, &launched] {
        const QString text =
            testsupport::readFile(QStringLiteral("/proc/%1/task/%1/children").arg(monitor.pid()));
        for (const QString& word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts))
            launched.pids << word.toLongLong();
    };
    testsupport::waitUntil(
        [&monitor] { return monitor.log().count(QStringLiteral(" - START: t")) == tasks; },
        std::chrono::seconds(30));
    readChildren();
    ASSERT_EQ(launched.pids.size(), tasks);
    ASSERT_TRUE(monitor.waitForLog(QStringLiteral("PORT: ")))
        << qPrintable(monitor.log().right(300));
    EXPECT_EQ(testsupport::probePort(port).data, QByteArray("SERVICES UP"));
    // The soft limit is lifted to the hard one, whatever the start gave.
    const QStringList limits = openFileLimits(monitor.pid());
    ASSERT_EQ(limits.size(), 2);
    EXPECT_EQ(limits[0], limits[1]);
    // The last task launched is one the tick alone watches when descriptors ran short.
    ::kill(static_cast<pid_t>(launched.pids.last()), SIGKILL);
    EXPECT_TRUE(monitor.waitForLog(QStringLiteral(" - TASK FAILURE: t")));
    EXPECT_TRUE(testsupport::probePort(port).refused);
    EXPECT_TRUE(monitor.stop());
}

} // namespace

// Every task holds a process descriptor: a low soft limit is lifted at start.
TEST(DescriptorLimitTest, LowSoftLimitIsLifted) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < 1024)
        GTEST_SKIP() << "hard descriptor limit too low to show the difference";
    superviseManyTasks(64, limit.rlim_max);
}

// A hard limit below the number of tasks: descriptors near it stay free for the log, the port
// and mail, and the tasks beyond are watched by the tick.
TEST(DescriptorLimitTest, LowHardLimitLeavesRoomForLogAndPort) {
    superviseManyTasks(128, 128);
}

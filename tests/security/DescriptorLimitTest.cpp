// Every task holds a process descriptor; the log, the status port and mail need some too.
#include "MonitorProcess.h"
#include "TestSupport.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>

namespace {

// Runs a monitor with more tasks than descriptors under the given limits: it must lift the soft
// limit to the hard one, and still log, listen and report a killed task.
void superviseManyTasks(rlim_t soft, rlim_t hard) {
    testsupport::MonitorProcess monitor;
    const quint16 port = testsupport::freePort();
    QByteArray ini = "port=" + QByteArray::number(port) + "\n";
    constexpr int tasks = 200;
    for (int i = 0; i < tasks; ++i)
        ini += "START=/bin/sleep " + QByteArray::number(3600 + i) + ",t" + QByteArray::number(i) +
               ",,False\n";
    ASSERT_TRUE(testsupport::writeFile(monitor.dir() + "/many.ini", ini));
    monitor.process().setChildProcessModifier([soft, hard] {
        const rlimit low{soft, hard};
        setrlimit(RLIMIT_NOFILE, &low);
    });
    monitor.start({"/NOGUI", "/I:many.ini"});
    ASSERT_TRUE(monitor.waitForLog("PORT: ", std::chrono::seconds(30)))
        << qPrintable(monitor.log().right(300));
    EXPECT_EQ(monitor.log().count(" - START: t"), tasks);
    EXPECT_EQ(testsupport::askPort(port), "SERVICES UP");
    const QString limits =
        testsupport::readFile(QStringLiteral("/proc/%1/limits").arg(monitor.pid()));
    const QStringList open =
        limits.mid(limits.indexOf("Max open files") + 14).split(' ', Qt::SkipEmptyParts);
    ASSERT_GE(open.size(), 2);
    EXPECT_EQ(open[0], open[1]) << "soft and hard limit";
    // The last task launched is one that only the tick watches when descriptors ran short.
    const QStringList children =
        testsupport::readFile(QStringLiteral("/proc/%1/task/%1/children").arg(monitor.pid()))
            .split(' ', Qt::SkipEmptyParts);
    ASSERT_EQ(children.size(), tasks);
    ::kill(children.last().toInt(), SIGKILL);
    EXPECT_TRUE(monitor.waitForLog(" - TASK FAILURE: t"));
    EXPECT_EQ(testsupport::askPort(port), "refused");
    EXPECT_TRUE(monitor.stop());
}

} // namespace

TEST(DescriptorLimitTest, LowSoftLimitIsLifted) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < 1024)
        GTEST_SKIP() << "hard descriptor limit too low to show the difference";
    superviseManyTasks(64, limit.rlim_max);
}

// A hard limit below the number of tasks: descriptors near it stay free for the log and the
// port, and the tasks beyond are watched by the tick.
TEST(DescriptorLimitTest, LowHardLimitLeavesRoomForLogAndPort) {
    superviseManyTasks(128, 128);
}

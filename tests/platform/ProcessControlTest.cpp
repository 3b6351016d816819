#include "PosixProcessControl.h"
#include "RuntimeError.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using testsupport::waitUntil;

namespace {

bool reaped(qint32 pid) {
    return !QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid));
}

void killAndReap(pid_t pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

TEST(ProcessLaunch, ProgramsThatCannotRunAreErrorsWithTheSystemText) {
    PosixProcessControl control;
    QTemporaryDir dir;
    // Not executable, in a folder whose blank a quote keeps in the path.
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("with blank")));
    QFile plain(dir.filePath(QStringLiteral("with blank/plain")));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly) && plain.write("#!/bin/sh\n") > 0);
    plain.close();

    const QString missing = QString::fromLocal8Bit(std::strerror(ENOENT));
    const QString denied = QString::fromLocal8Bit(std::strerror(EACCES));
    const std::pair<QString, QString> rows[] = {{"prowlix-no-such-program 1", missing},
                                                {"/nonexistent/dir/tool", missing},
                                                {"", missing},
                                                {"   ", missing},
                                                {dir.path(), denied},
                                                {'"' + plain.fileName() + "\" x", denied}};
    for (const auto& [command, error] : rows) {
        try {
            control.launch(command, 4);
            ADD_FAILURE() << "launched " << qPrintable(command);
        } catch (const RuntimeError& e) {
            EXPECT_EQ(e.description(), error) << qPrintable(command);
        }
    }
}

TEST(ProcessLaunch, TaskStartsCleanInItsOwnSession) {
    // The monitor ignores SIGPIPE and may block signals; a task must inherit neither.
    const auto previousTerm = std::signal(SIGTERM, SIG_IGN);
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigprocmask(SIG_BLOCK, &block, &old);
    PosixProcessControl control;
    const qint32 pid = control.launch(QStringLiteral("sleep 3600"), 2);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    std::signal(SIGTERM, previousTerm);
    ASSERT_GT(pid, 0);

    EXPECT_EQ(::getsid(pid), pid);
    EXPECT_EQ(control.status(pid), ProcessControl::WAIT_TIMEOUT);
    ASSERT_TRUE(waitUntil([&] {
        return testsupport::readFile(QStringLiteral("/proc/%1/comm").arg(pid)).trimmed() == "sleep";
    }));
    const QString stat = testsupport::readFile(QStringLiteral("/proc/%1/status").arg(pid));
    for (const char* field : {"SigBlk", "SigIgn"}) {
        const auto match =
            QRegularExpression(QString::fromLatin1(field) + ":\\s*([0-9a-f]+)").match(stat);
        // The standard signals 1 to 31; the C library keeps a few real-time ones for itself.
        EXPECT_EQ(match.captured(1).toULongLong(nullptr, 16) & 0x7fffffffULL, 0u) << field;
    }
    // Nothing read from the monitor's terminal.
    EXPECT_EQ(QFileInfo(QStringLiteral("/proc/%1/fd/0").arg(pid)).symLinkTarget(), "/dev/null");

    control.requestClose(pid); // SIGTERM reaches it despite the monitor's own disposition
    EXPECT_TRUE(waitUntil([&] { return control.status(pid) == 0; }));
}

TEST(ProcessStatus, EndedProcessesStayEndedAndBadNumbersAreSafe) {
    PosixProcessControl control;
    const qint32 pid = control.launch(QStringLiteral("sh -c \"exit 3\""), 4);
    ASSERT_TRUE(waitUntil([&] { return control.status(pid) == 0; }));
    EXPECT_TRUE(reaped(pid)); // no zombie left behind
    EXPECT_EQ(control.status(pid), 0);
    EXPECT_EQ(control.status(0), 0);
    EXPECT_EQ(control.status(-1), 0);
    EXPECT_EQ(control.status(::getpid()), ProcessControl::WAIT_TIMEOUT);
    control.requestClose(0);  // would signal our own process group
    control.requestClose(-1); // would signal everything we may signal
    control.requestClose(pid);
    SUCCEED() << "still alive";
}

TEST(ProcessStatus, ReusedIdentifierOfAnEndedTaskDoesNotCountAsRunning) {
    PosixProcessControl control;
    const qint32 pid = control.launch(QStringLiteral("true"), 4);
    ASSERT_TRUE(waitUntil([&] { return control.status(pid) == 0; }));

    // Make the system hand the same number to an unrelated process (needs root).
    QFile lastPid(QStringLiteral("/proc/sys/kernel/ns_last_pid"));
    pid_t other = 0;
    char sleepName[] = "sleep", arg[] = "3600";
    char* argv[] = {sleepName, arg, nullptr};
    for (int attempt = 0; attempt < 20 && other != pid; ++attempt) {
        if (other > 0)
            killAndReap(other);
        if (!lastPid.open(QIODevice::WriteOnly))
            GTEST_SKIP() << "cannot steer process numbers here";
        lastPid.write(QByteArray::number(pid - 1));
        lastPid.close();
        if (::posix_spawnp(&other, "sleep", nullptr, nullptr, argv, environ) != 0)
            other = 0;
    }
    if (other != pid) {
        if (other > 0)
            killAndReap(other);
        GTEST_SKIP() << "the number was not reused";
    }
    EXPECT_EQ(control.status(pid), 0);
    control.requestClose(pid); // must not reach the stranger
    EXPECT_EQ(::waitpid(other, nullptr, WNOHANG), 0);
    killAndReap(other);
}

TEST(ProcessStatus, WithoutADescriptorTheProcessIsStillFollowed) {
    PosixProcessControl control;
    // No descriptor left for the process descriptor: the monitor has hit its limit.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowestFree = ::dup(0);
    ::close(lowestFree);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    const qint32 pid = control.launch(QStringLiteral("sleep 3600"), 4);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    for (const QFileInfo& fd :
         QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::System | QDir::NoDotAndDotDot))
        ASSERT_FALSE(fd.symLinkTarget().contains(QLatin1String("pidfd")));

    EXPECT_EQ(control.status(pid), ProcessControl::WAIT_TIMEOUT);
    control.requestClose(pid);
    EXPECT_TRUE(waitUntil([&] { return control.status(pid) == 0; }));
    EXPECT_TRUE(reaped(pid));
}

// The supervision tests show what the immediate detection reports; here only its switch.
TEST(ImmediateDetection, SwitchedOffAnEndIsOnlySeenWhenAsked) {
    qputenv("PROWLIX_BENCH_TICK_ONLY", "1");
    const auto tickOnly = createProcessControl();
    qunsetenv("PROWLIX_BENCH_TICK_ONLY");
    int ended = 0;
    QObject::connect(tickOnly.get(), &ProcessControl::processEnded, [&ended] { ++ended; });
    const qint32 pid = tickOnly->launch(QStringLiteral("sleep 0.3"), 4);
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, id_t(pid), &info, WEXITED | WNOWAIT), 0); // ended, not reaped
    // Long enough for the watch to have reported it, had it been on.
    EXPECT_FALSE(waitUntil([&] { return ended > 0; }, std::chrono::milliseconds(300)));
    EXPECT_EQ(tickOnly->status(pid), 0);
}

} // namespace

#include "ManualClock.h"
#include "TestSupport.h"
#include "base/RuntimeError.h"
#include "platform/PosixProcessControl.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

using testsupport::waitUntil;

namespace {

void killAndReap(pid_t pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

// Runs make() with no descriptor free below the soft limit.
template <typename F> auto withoutFreeDescriptors(F make) {
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    const int lowest = ::dup(0);
    ::close(lowest);
    const rlimit tight{static_cast<rlim_t>(lowest), saved.rlim_max};
    ::setrlimit(RLIMIT_NOFILE, &tight);
    auto made = make();
    ::setrlimit(RLIMIT_NOFILE, &saved);
    return made;
}

TEST(ProcessLaunch, ProgramsThatCannotRunAreErrorsWithTheSystemText) {
    PosixProcessControl control;
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("with blank")));
    const QString missing = QString::fromLocal8Bit(std::strerror(ENOENT));
    const QString denied = QString::fromLocal8Bit(std::strerror(EACCES));
    const std::pair<QString, QString> rows[] = {
        {"prowlix-no-such-program 1", missing},
        {"", missing},
        {'"' + dir.filePath("with blank") + "\" x", denied}};
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
    // A monitor that ignores or blocks signals: the task inherits neither.
    const auto previousTerm = std::signal(SIGTERM, SIG_IGN);
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigprocmask(SIG_BLOCK, &block, &old);
    PosixProcessControl control;
    const qint32 pid = control.launch(QStringLiteral("sleep 3600"), 2);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    std::signal(SIGTERM, previousTerm);

    EXPECT_EQ(::getsid(pid), pid);
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
    EXPECT_EQ(QFileInfo(QStringLiteral("/proc/%1/fd/0").arg(pid)).symLinkTarget(), "/dev/null");
    control.requestClose(pid);
    EXPECT_TRUE(waitUntil([&] { return control.status(pid).hasEnded(); }));
    EXPECT_TRUE(testsupport::processGone(pid));
}

// What each descriptor of a process names, in descriptor order.
QStringList descriptorTargets(const QString& pid) {
    QStringList targets;
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    QStringList numbers = fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    std::sort(numbers.begin(), numbers.end(),
              [](const QString& a, const QString& b) { return a.toInt() < b.toInt(); });
    for (const QString& fd : numbers) {
        char target[4096];
        const ssize_t size =
            ::readlink(QFile::encodeName(fds.filePath(fd)).constData(), target, sizeof target);
        targets << QString::fromLocal8Bit(target, size > 0 ? size : 0);
    }
    return targets;
}

// However many descriptors the monitor holds (one per task), a task gets the standard ones
// only, its output where it was asked; the monitor's own stay as they were, and it keeps no
// task's output file open.
TEST(ProcessLaunch, ATaskGetsOnlyItsStandardDescriptorsAndTheMonitorKeepsItsOwn) {
    PosixProcessControl control;
    std::vector<int> held;
    for (int i = 0; i < 64; ++i)
        held.push_back(::dup(STDIN_FILENO)); // inheritable, and above what launches set aside
    QTemporaryDir dir;
    const QString outputPath = dir.filePath(QStringLiteral("out"));
    const int output =
        ::open(QFile::encodeName(outputPath).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(output, 0);
    const QStringList own = descriptorTargets(QStringLiteral("self"));
    for (const int outputFd : {-1, output}) {
        LaunchSpec request;
        request.command = QStringLiteral("sleep 3600");
        request.outputFd = outputFd;
        const qint32 pid = control.launchWith(request);
        // The name changes early in the exec, before the descriptors marked close-on-exec go:
        // a leaked descriptor never goes.
        QStringList task;
        ASSERT_TRUE(waitUntil([&] {
            task = descriptorTargets(QString::number(pid));
            return testsupport::readFile(QStringLiteral("/proc/%1/comm").arg(pid)).trimmed() ==
                       "sleep" &&
                   task.size() == 3;
        })) << task.join(' ').toStdString();
        EXPECT_EQ(task[0], "/dev/null");
        for (const int standard : {1, 2})
            EXPECT_EQ(task[standard], outputFd < 0 ? own[standard] : outputPath) << standard;
        control.requestClose(pid);
        EXPECT_TRUE(waitUntil([&] { return control.status(pid).hasEnded(); }));
    }
    EXPECT_EQ(descriptorTargets(QStringLiteral("self")), own);
    ::close(output);
    EXPECT_FALSE(descriptorTargets(QStringLiteral("self")).contains(outputPath));
    for (const int fd : held)
        ::close(fd);
}

TEST(ProcessStatus, BadNumbersAreSafeAndAReusedNumberOfAnEndedTaskIsNoTask) {
    PosixProcessControl control;
    EXPECT_TRUE(control.status(0).hasEnded() && control.status(-1).hasEnded());
    EXPECT_TRUE(control.status(::getpid()).isRunning());
    control.requestClose(0);  // would signal our own process group
    control.requestClose(-1); // would signal everything we may signal
    const qint32 pid = control.launch(QStringLiteral("true"), 4);
    ASSERT_TRUE(waitUntil([&] { return control.status(pid).hasEnded(); }));

    // Make the system hand the same number to an unrelated process (needs root).
    pid_t other = 0;
    char sleepName[] = "sleep", arg[] = "3600";
    char* argv[] = {sleepName, arg, nullptr};
    for (int attempt = 0; attempt < 20 && other != pid; ++attempt) {
        if (other > 0)
            killAndReap(other);
        if (!testsupport::writeFile("/proc/sys/kernel/ns_last_pid", QByteArray::number(pid - 1)))
            GTEST_SKIP() << "cannot steer process numbers here";
        if (::posix_spawnp(&other, "sleep", nullptr, nullptr, argv, environ) != 0)
            other = 0;
    }
    if (other != pid) {
        killAndReap(other);
        GTEST_SKIP() << "the number was not reused";
    }
    EXPECT_TRUE(control.status(pid).hasEnded());
    control.requestClose(pid); // must not reach the stranger
    EXPECT_EQ(::waitpid(other, nullptr, WNOHANG), 0);
    killAndReap(other);
}

// Neither a process descriptor nor the set that watches them: the process is still followed.
TEST(ProcessStatus, WithoutAWatchedDescriptorTheProcessIsStillFollowed) {
    for (const bool noEpollSet : {false, true}) {
        PosixProcessControl first;
        auto unwatched =
            withoutFreeDescriptors([] { return std::make_unique<PosixProcessControl>(); });
        PosixProcessControl& control = noEpollSet ? *unwatched : first;
        const qint32 pid =
            noEpollSet ? control.launch(QStringLiteral("sleep 3600"), 4)
                       : withoutFreeDescriptors([&] { return control.launch("sleep 3600", 4); });
        EXPECT_TRUE(control.status(pid).isRunning());
        EXPECT_TRUE(control.needsPolling(pid));
        ::kill(pid, SIGKILL);
        EXPECT_TRUE(waitUntil([&] { return control.status(pid).hasEnded(); })) << noEpollSet;
        EXPECT_TRUE(testsupport::processGone(pid));
    }
}

// How each end is told: the wait status as the task left it, whichever way the end was found.
TEST(ProcessStatus, EndsCarryTheirWaitStatus) {
    struct Row {
        const char* command;
        int signal; // sent to it, 0 for none
        const char* text;
    };
    const Row rows[] = {
        {"sh -c 'exit 3'", 0, "exited with status 3"},
        {"true", 0, "exited with status 0"},
        {"sleep 3600", SIGKILL, "killed by signal 9 (SIGKILL)"},
        {"sh -c 'kill -SEGV $$'", 0, "killed by signal 11 (SIGSEGV)"},
    };
    for (const bool watched : {true, false}) {
        PosixProcessControl control;
        for (const Row& row : rows) {
            const qint32 pid =
                watched ? control.launch(QString::fromLatin1(row.command), 4)
                        : withoutFreeDescriptors([&] { return control.launch(row.command, 4); });
            if (row.signal != 0)
                ::kill(pid, row.signal);
            ASSERT_TRUE(waitUntil([&] { return control.status(pid).hasEnded(); }));
            // A core may or may not be written here; the text before it is fixed.
            EXPECT_TRUE(control.status(pid).exitText().startsWith(row.text))
                << row.command << ": " << qPrintable(control.status(pid).exitText());
        }
    }
    EXPECT_EQ(ProcessStatus::endedUnknown().exitText(), "unknown (not started by this monitor)");
    EXPECT_EQ(ProcessStatus::ended(SIGABRT | 0x80).exitText(),
              "killed by signal 6 (SIGABRT), core dumped");
    EXPECT_EQ(PosixProcessControl().status(::getppid()).exitText(), "");
}

// Only immediate detection reports an end, and only once the first interval has passed.
TEST(EndDetection, EndsAreReportedOnlyWhenImmediateAndPastTheFirstInterval) {
    struct Row {
        EndDetection detection;
        qint64 ranMs;
        int reports;
    };
    const Row rows[] = {{EndDetection::Immediate, supervisionTickMs, 1},
                        {EndDetection::Immediate, supervisionTickMs - 1, 0},
                        {EndDetection::TickOnly, 1000, 0}};
    for (const Row& row : rows) {
        testsupport::ManualClock clock;
        PosixProcessControl control(row.detection, clock);
        int ended = 0;
        QObject::connect(&control, &ProcessControl::processEnded,
                         [&](qint32 pid) { ended += pid > 0 ? 1 : 100; });
        const qint32 pid = control.launch(QStringLiteral("true"), 4);
        siginfo_t info{};
        ASSERT_EQ(::waitid(P_PID, id_t(pid), &info, WEXITED | WNOWAIT), 0); // ended, not reaped
        clock.advance(row.ranMs);
        // The descriptor is readable already: one pass of the loop delivers any report.
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        EXPECT_EQ(ended, row.reports) << row.ranMs;
        EXPECT_EQ(control.status(pid).exitText(), "exited with status 0");
    }
}

// A close that is not obeyed is forced after the stop timeout, on the task and on its session;
// without a timeout the request stays a request. A session that outlives its task is counted.
TEST(ProcessClose, AnIgnoredStopSignalIsForcedOnTheWholeSessionOnlyWithATimeout) {
    for (const qint64 timeout : {0, 1000}) {
        testsupport::ManualClock clock;
        PosixProcessControl control(EndDetection::Immediate, clock);
        control.setStopTimeout(timeout);
        const qint32 pid =
            control.launch(QStringLiteral("sh -c 'trap \"\" TERM; sleep 3600 & sleep 3600'"), 4);
        ASSERT_TRUE(waitUntil([&] { return control.leftoverCount(pid) == 2; })); // trap set
        control.requestClose(pid);
        EXPECT_EQ(control.closesPending(), timeout > 0 ? 1 : 0);
        clock.advance(999);
        QCoreApplication::processEvents();
        EXPECT_TRUE(control.status(pid).isRunning());
        clock.advance(3600 * 1000);
        if (timeout == 0) {
            EXPECT_TRUE(control.status(pid).isRunning());
            control.setStopTimeout(1);
            control.requestClose(pid);
            control.finishCloses(); // what a shutdown does when its wait is over
        }
        ASSERT_TRUE(waitUntil([&] { return control.status(pid).hasEnded(); }));
        EXPECT_EQ(control.status(pid).signal(), SIGKILL);
        EXPECT_TRUE(waitUntil([&] { return control.leftoverCount(pid) == 0; }));
        EXPECT_EQ(control.closesPending(), 0);
    }
    PosixProcessControl control;
    const qint32 pid = control.launch(QStringLiteral("sh -c 'sleep 3600 & exit 0'"), 4);
    ASSERT_TRUE(waitUntil([&] { return control.status(pid).hasEnded(); }));
    EXPECT_EQ(control.leftoverCount(pid), 1);
    ::kill(-pid, SIGKILL);
}

} // namespace

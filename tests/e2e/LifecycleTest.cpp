// The real binary's life: start and stop entries, the status port, the stop signals, the mode
// chosen from the display, readiness notification, and what must not end it.
#include "MonitorProcess.h"
#include "TestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using testsupport::answers;
using testsupport::MonitorProcess;

namespace {

// The service manager's end of the readiness protocol: a datagram socket bound to a path, or to
// an abstract name when the address starts with "@".
struct NotifySocket final {
    explicit NotifySocket(const QByteArray& address) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, address.constData(), static_cast<size_t>(address.size()));
        if (address.startsWith('@'))
            addr.sun_path[0] = '\0';
        const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size());
        bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), size) == 0;
    }
    ~NotifySocket() { ::close(fd); }
    QByteArray receive() { // the next datagram, or empty after ten seconds
        pollfd pfd{fd, POLLIN, 0};
        char buffer[512];
        const ssize_t n = ::poll(&pfd, 1, 10000) == 1 ? ::recv(fd, buffer, sizeof buffer, 0) : 0;
        return QByteArray(buffer, n > 0 ? static_cast<qsizetype>(n) : 0);
    }
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bool bound = false;
};

} // namespace

TEST(LifecycleTest, StartsNotifiesAnswersAndStopsOnEachStopSignalInEachMode) {
    QTemporaryDir scratch;
    const struct {
        int signal;
        QStringList options;
        bool display, desktop; // the desktop module's widgets are mapped only in desktop mode
        QByteArray notify;     // the service manager's address; nobody listens at "none"
    } rows[] = {
        {SIGTERM, {}, false, false, QFile::encodeName(scratch.filePath("none"))},
        {SIGINT, {"/nogui", "/L:OFF"}, true, false, "@prowlix-" + QByteArray::number(getpid())},
        {SIGHUP, {}, true, true, QFile::encodeName(scratch.filePath("notify"))}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.signal);
        const bool listening = !row.notify.endsWith("none");
        NotifySocket manager(listening ? row.notify : QByteArray());
        QProcessEnvironment environment = MonitorProcess::headlessEnvironment();
        if (row.display)
            environment.insert("QT_QPA_PLATFORM", "offscreen");
        environment.insert("NOTIFY_SOCKET", QString::fromLocal8Bit(row.notify));
        MonitorProcess monitor(true);
        monitor.process().setProcessChannelMode(QProcess::SeparateChannels);
        const quint16 port = testsupport::freePort();
        const QStringList options = row.options + QStringList{QStringLiteral("/P:%1").arg(port)};
        const QString seen = monitor.dir() + "/seen";
        const QString task = "sh -c 'echo x${NOTIFY_SOCKET}x > " + seen + " && exec sleep 60'";
        monitor.start(options + QStringList{task}, environment);
        if (listening) { // ready means start-up has ended: the port answers at once
            EXPECT_EQ(manager.receive(), QByteArray("READY=1"));
            EXPECT_EQ(testsupport::askPort(port), QByteArray("SERVICES UP"));
        }
        ASSERT_TRUE(answers(port)) << qPrintable(monitor.log());
        const QString text = "(" + options.join(' ') + " \"" + task + "\")\r\n";
        EXPECT_TRUE(monitor.log().contains(" - SYSTEM STARTED " + text))
            << qPrintable(monitor.log());
        EXPECT_EQ(testsupport::readFile(QStringLiteral("/proc/%1/maps").arg(monitor.pid()))
                      .contains("libQt6Widgets"),
                  row.desktop);
        // The service manager's variable is the monitor's, not the tasks'.
        EXPECT_TRUE(testsupport::waitUntil([&] { return testsupport::readFile(seen) == "xx\n"; }));
        EXPECT_TRUE(monitor.stop(row.signal));
        if (listening) {
            EXPECT_EQ(manager.receive(), QByteArray("STOPPING=1"));
        }
        EXPECT_TRUE(monitor.log().endsWith(" - SYSTEM STOPPED " + text))
            << qPrintable(monitor.log());
        if (row.options.contains("/L:OFF")) {
            EXPECT_EQ(monitor.log().count("\r\n"), 2) << qPrintable(monitor.log());
        }
        if (!row.desktop) {
            EXPECT_EQ(monitor.process().readAllStandardError(), QByteArray());
        }
        EXPECT_EQ(testsupport::askPort(port), "refused");
    }
}

// Standard error is a pipe whose reader has gone; the log is a directory, so every line warns
// there, the first before anything else could ignore SIGPIPE; clients reset their connection
// before the answer; stray signals arrive.
TEST(LifecycleTest, ClosedStandardErrorResettingClientsAndStraySignalsDoNotEndTheMonitor) {
    MonitorProcess monitor;
    ASSERT_TRUE(QDir(monitor.dir()).mkdir(testsupport::logFileName("LOG", "prowlix")));
    monitor.process().setChildProcessModifier([] {
        int fds[2];
        if (::pipe(fds) == 0) {
            ::close(fds[0]);
            ::dup2(fds[1], STDERR_FILENO);
        }
    });
    const quint16 port = testsupport::freePort();
    monitor.start({"/NOGUI", QStringLiteral("/P:%1").arg(port)});
    ASSERT_TRUE(answers(port));
    for (int i = 0; i < 100; ++i) {
        const int fd = testsupport::connectRaw(port);
        const linger abortive{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        ::close(fd);
    }
    for (const int signal : {SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM})
        ::kill(static_cast<pid_t>(monitor.pid()), signal);
    EXPECT_TRUE(answers(port));
    EXPECT_TRUE(monitor.stop());
}

// Standard error is a pipe that nobody reads and that is full before the monitor starts, and the
// day's log file is a directory at first, so the monitor's first lines warn there. It goes on
// supervising: a killed task is restarted, the status port answers, SIGTERM ends it at once.
TEST(LifecycleTest, AStandardErrorNobodyReadsCostsMessagesNeverSupervision) {
    MonitorProcess monitor;
    const QString day = monitor.dir() + u'/' + testsupport::logFileName("LOG", "prowlix");
    ASSERT_TRUE(QDir().mkdir(day));
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    // Filled through a description of its own: the monitor's must stay as it was given.
    const QByteArray path = "/proc/self/fd/" + QByteArray::number(fds[1]);
    const int filler = ::open(path.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(filler, 0);
    while (::write(filler, "x", 1) == 1) {
    }
    ::close(filler);
    const int errorPipe = fds[1];
    monitor.process().setChildProcessModifier([errorPipe] { ::dup2(errorPipe, STDERR_FILENO); });
    const quint16 port = testsupport::freePort();
    ASSERT_TRUE(testsupport::writeFile(
        monitor.dir() + "/tasks.ini",
        "START=sleep 60,Sleeper,,True\nport=" + QByteArray::number(port) + '\n'));
    monitor.start({"/I:tasks.ini"});
    ASSERT_TRUE(answers(port));
    ASSERT_TRUE(QDir().rmdir(day));
    const QString children = QStringLiteral("/proc/%1/task/%1/children").arg(monitor.pid());
    const pid_t task = testsupport::readFile(children).split(u' ').first().toInt();
    ASSERT_GT(task, 0);
    ::kill(task, SIGKILL);
    EXPECT_TRUE(monitor.waitForLog("RE-START: 'sleep 60'"));
    EXPECT_TRUE(answers(port));
    EXPECT_TRUE(monitor.stop(SIGTERM, std::chrono::seconds(1)));
    EXPECT_TRUE(monitor.log().contains(" - SYSTEM STOPPED (/I:tasks.ini)"))
        << qPrintable(monitor.log());
    // The tasks' standard error, which they share with the monitor, still waits for its reader.
    EXPECT_EQ(::fcntl(fds[1], F_GETFL) & O_NONBLOCK, 0);
    ::close(fds[0]);
    ::close(fds[1]);
}

// A display that cannot be opened, or a desktop module cut short, leaves a headless monitor that
// says why on standard error and in its log.
TEST(LifecycleTest, AnUnusableDisplayOrADamagedModuleLeavesAHeadlessMonitor) {
    const struct {
        const char *variable, *value;
        bool damaged;
    } rows[] = {{"DISPLAY", ":4711", false}, {"QT_QPA_PLATFORM", "offscreen", true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.variable);
        MonitorProcess monitor(true);
        QFile module(monitor.dir() + "/libprowlix-desktop.so");
        if (row.damaged) {
            ASSERT_TRUE(module.resize(module.size() / 2));
        }
        QProcessEnvironment environment = MonitorProcess::headlessEnvironment();
        environment.insert(row.variable, row.value);
        monitor.process().setProcessChannelMode(QProcess::SeparateChannels);
        const quint16 port = testsupport::freePort();
        monitor.start({QStringLiteral("/P:%1").arg(port), "sleep 60"}, environment);
        ASSERT_TRUE(answers(port)) << qPrintable(monitor.log());
        EXPECT_TRUE(monitor.log().contains("; running headless\r\n")) << qPrintable(monitor.log());
        EXPECT_FALSE(testsupport::readFile(QStringLiteral("/proc/%1/maps").arg(monitor.pid()))
                         .contains("libQt6Widgets"));
        EXPECT_TRUE(monitor.stop());
        EXPECT_TRUE(monitor.process().readAllStandardError().contains("; running headless\n"));
    }
}

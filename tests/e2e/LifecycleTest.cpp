// The real binary's life: start and stop entries, the status port, the stop signals, the mode
// chosen from the display, readiness notification, and what must not end it.
#include "MonitorProcess.h"
#include "TestSupport.h"

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

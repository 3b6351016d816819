// The monitor as a Linux user and the service manager meet it: information options, the log
// directory, readiness notification and shell-style quoting, on the real binary.
#include "MonitorProcess.h"
#include "TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using testsupport::MonitorProcess;
using testsupport::probePort;
using testsupport::readFile;
using testsupport::waitUntil;

namespace {

QString portArgument(quint16 port) {
    return QStringLiteral("/P:") + QString::number(port);
}

bool answers(quint16 port) {
    return waitUntil([&] { return probePort(port, 1000).data == QByteArray("SERVICES UP"); });
}

QString todaysLog(const QString& dir) {
    return readFile(QDir(dir).filePath(
        testsupport::logFileName(QStringLiteral("LOG"), QStringLiteral("prowlix"))));
}

// The service manager's end of the readiness protocol: a datagram socket bound to a path, or to
// an abstract name when the address starts with "@".
class NotifySocket final {
  public:
    explicit NotifySocket(const QByteArray& address)
        : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)), address_(address) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, address.constData(), static_cast<size_t>(address.size()));
        if (address.startsWith('@'))
            addr.sun_path[0] = '\0';
        const auto length =
            static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size());
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), length) == 0;
    }
    ~NotifySocket() { ::close(fd_); }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    bool bound() const { return bound_; }
    // The next datagram, or empty when none arrives before the deadline.
    QByteArray receive(int deadlineMs = 10000) {
        pollfd pfd{fd_, POLLIN, 0};
        if (::poll(&pfd, 1, deadlineMs) != 1)
            return {};
        char buffer[512];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        return n > 0 ? QByteArray(buffer, static_cast<qsizetype>(n)) : QByteArray();
    }

  private:
    int fd_;
    QByteArray address_;
    bool bound_ = false;
};

TEST(LinuxTest, HelpAndVersionPrintAndStartNothing) {
    const quint16 port = testsupport::freePort();
    const struct {
        QStringList arguments;
        QStringList expected;
    } rows[] = {
        {{"--help"},
         {"Usage: prowlix", "/I:", "/P:", "/D:", "/L:OFF", "/W:", "/KILL", "/NOGUI", "--version",
          "man prowlix"}},
        {{"/NOGUI", portArgument(port), "-h", "sleep 60"}, {"Usage: prowlix"}},
        {{"--version"}, {"prowlix 1.0.0\n"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(qPrintable(row.arguments.join(' ')));
        MonitorProcess monitor;
        monitor.start(row.arguments);
        ASSERT_TRUE(monitor.process().waitForFinished(10000));
        EXPECT_EQ(monitor.process().exitCode(), 0);
        const QString output = QString::fromLocal8Bit(monitor.process().readAllStandardOutput());
        for (const QString& text : row.expected)
            EXPECT_TRUE(output.contains(text)) << qPrintable(output);
        EXPECT_EQ(QDir(monitor.dir()).entryList(QDir::Files), QStringList{"prowlix"});
        EXPECT_TRUE(probePort(port).refused);
    }
}

TEST(LinuxTest, LogDirectoryOptionIsCreatedAndABadOneCostsOneWarningOnly) {
    MonitorProcess monitor;
    const QString logs = monitor.dir() + QStringLiteral("/var/logs");
    const quint16 port = testsupport::freePort();
    monitor.start({QStringLiteral("/NOGUI"), QStringLiteral("/D:var/logs"), portArgument(port)});
    ASSERT_TRUE(answers(port));
    EXPECT_TRUE(todaysLog(logs).contains(QStringLiteral("PORT: ")));
    EXPECT_TRUE(monitor.log().isEmpty()); // nothing beside the executable
    ASSERT_TRUE(monitor.stop());

    // A file where the directory should be: the lines are lost, the monitor is not.
    MonitorProcess blocked;
    ASSERT_TRUE(testsupport::writeFile(blocked.dir() + QStringLiteral("/file")));
    blocked.process().setProcessChannelMode(QProcess::SeparateChannels);
    const quint16 port2 = testsupport::freePort();
    blocked.start({QStringLiteral("/NOGUI"),
                   QStringLiteral("/D:") + blocked.dir() + QStringLiteral("/file"),
                   portArgument(port2), QStringLiteral("sleep 60")});
    ASSERT_TRUE(answers(port2));
    ASSERT_TRUE(blocked.stop());
    const QStringList warnings = QString::fromLocal8Bit(blocked.process().readAllStandardError())
                                     .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(warnings.size(), 1) << qPrintable(warnings.join('\n'));
    EXPECT_TRUE(warnings[0].contains(blocked.dir() + QStringLiteral("/file")));
}

TEST(LinuxTest, ReadinessAndStoppingReachTheServiceManagerButNotTheTasks) {
    QTemporaryDir scratch;
    const QByteArray addresses[] = {QFile::encodeName(scratch.filePath(QStringLiteral("notify"))),
                                    QByteArray("@prowlix-test-") + QByteArray::number(::getpid())};
    for (const QByteArray& address : addresses) {
        SCOPED_TRACE(address.constData());
        NotifySocket manager(address);
        ASSERT_TRUE(manager.bound());
        QProcessEnvironment environment = MonitorProcess::headlessEnvironment();
        environment.insert(QStringLiteral("NOTIFY_SOCKET"), QString::fromLocal8Bit(address));
        MonitorProcess monitor;
        const QString seen = monitor.dir() + QStringLiteral("/seen");
        const quint16 port = testsupport::freePort();
        monitor.start({QStringLiteral("/NOGUI"), portArgument(port),
                       QStringLiteral("sh -c 'echo x${NOTIFY_SOCKET}x > ") + seen +
                           QStringLiteral(" && exec sleep 60'")},
                      environment);
        EXPECT_EQ(manager.receive(), QByteArray("READY=1"));
        // Ready means start-up has ended: the task runs and the port entry is written.
        EXPECT_TRUE(monitor.log().contains(QStringLiteral("PORT: ")));
        EXPECT_TRUE(waitUntil([&] { return readFile(seen) == QStringLiteral("xx\n"); }))
            << qPrintable(readFile(seen));
        ::kill(static_cast<pid_t>(monitor.pid()), SIGTERM);
        EXPECT_EQ(manager.receive(), QByteArray("STOPPING=1"));
        EXPECT_TRUE(monitor.stop());
    }

    // Nobody listening: nothing said, nothing changed.
    QProcessEnvironment nowhere = MonitorProcess::headlessEnvironment();
    nowhere.insert(QStringLiteral("NOTIFY_SOCKET"), scratch.filePath(QStringLiteral("none")));
    MonitorProcess monitor;
    monitor.process().setProcessChannelMode(QProcess::SeparateChannels);
    const quint16 port = testsupport::freePort();
    monitor.start({QStringLiteral("/NOGUI"), portArgument(port)}, nowhere);
    ASSERT_TRUE(answers(port));
    EXPECT_TRUE(monitor.stop());
    EXPECT_EQ(monitor.process().readAllStandardError(), QByteArray());
}

TEST(LinuxTest, QuotedArgumentsReachTheTaskAndAnOpenQuoteStartsNothing) {
    MonitorProcess monitor;
    const QString ini = monitor.dir() + QStringLiteral("/tasks.ini");
    const QString out = monitor.dir() + QStringLiteral("/out");
    ASSERT_TRUE(testsupport::writeFile(
        ini, (QStringLiteral("START=sh -c 'echo $1 > ") + out +
              QStringLiteral(" && exec sleep 60' zero 'two words',Quoted,,False\n"
                             "START=sh -c 'sleep 60,Broken,,False\n"
                             "port=") +
              QString::number(testsupport::freePort()) + QLatin1Char('\n'))
                 .toUtf8()));
    monitor.start({QStringLiteral("/NOGUI"), QStringLiteral("/I:") + ini});
    ASSERT_TRUE(monitor.waitForLog(QStringLiteral("PORT: "))) << qPrintable(monitor.log());
    EXPECT_TRUE(waitUntil([&] { return readFile(out) == QStringLiteral("two words\n"); }));
    const QString log = monitor.log();
    EXPECT_TRUE(log.contains(QStringLiteral("START: Quoted (")));
    EXPECT_FALSE(log.contains(QStringLiteral("START: Broken")));
    EXPECT_TRUE(log.contains(QStringLiteral("unbalanced single quote"))) << qPrintable(log);
    EXPECT_TRUE(monitor.stop());
}

} // namespace

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

using testsupport::answers;
using testsupport::MonitorProcess;
using testsupport::portArgument;
using testsupport::probePort;
using testsupport::readFile;
using testsupport::waitUntil;

namespace {

QString todaysLog(const QString& dir) {
    return readFile(QDir(dir).filePath(
        testsupport::logFileName(QStringLiteral("LOG"), QStringLiteral("prowlix"))));
}

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
    // The next datagram, or empty when none arrives within ten seconds.
    QByteArray receive() {
        pollfd pfd{fd, POLLIN, 0};
        char buffer[512];
        const ssize_t n = ::poll(&pfd, 1, 10000) == 1 ? ::recv(fd, buffer, sizeof buffer, 0) : 0;
        return QByteArray(buffer, n > 0 ? static_cast<qsizetype>(n) : 0);
    }
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bool bound = false;
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
        ASSERT_TRUE(manager.bound);
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

// What an INI file's commands and LOG_KEEP_DAYS do at start-up.
TEST(LinuxTest, QuotedArgumentsReachTheTaskAnOpenQuoteStartsNothingAndOldLogsGo) {
    MonitorProcess monitor;
    const QDir dir(monitor.dir());
    const QString out = dir.filePath(QStringLiteral("out"));
    const QDate old = QDate::currentDate().addDays(-10);
    const QString expired = testsupport::logFileName(QStringLiteral("LOG"), "prowlix", old);
    const QString foreign = testsupport::logFileName(QStringLiteral("LOG"), "other", old);
    ASSERT_TRUE(testsupport::writeFile(dir.filePath(expired)) &&
                testsupport::writeFile(dir.filePath(foreign)));
    ASSERT_TRUE(
        testsupport::writeFile(dir.filePath(QStringLiteral("tasks.ini")),
                               (QStringLiteral("START=sh -c 'echo $1 > ") + out +
                                QStringLiteral(" && exec sleep 60' zero 'two words',Quoted,,False\n"
                                               "START=sh -c 'sleep 60,Broken,,False\n"
                                               "LOG_KEEP_DAYS=2\n"
                                               "port=") +
                                QString::number(testsupport::freePort()) + QLatin1Char('\n'))
                                   .toUtf8()));
    monitor.start({QStringLiteral("/NOGUI"), QStringLiteral("/I:tasks.ini")});
    ASSERT_TRUE(monitor.waitForLog(
        QStringLiteral("ERROR: Unable to start Broken (sh -c 'sleep 60): unbalanced single quote")))
        << qPrintable(monitor.log());
    EXPECT_TRUE(waitUntil([&] { return readFile(out) == QStringLiteral("two words\n"); }));
    const QString log = monitor.log();
    EXPECT_TRUE(log.contains(QStringLiteral("START: Quoted (")));
    EXPECT_FALSE(log.contains(QStringLiteral("START: Broken")));
    EXPECT_TRUE(waitUntil([&] { return !dir.exists(expired); }));
    EXPECT_TRUE(dir.exists(foreign));
    EXPECT_TRUE(monitor.stop());
}

} // namespace

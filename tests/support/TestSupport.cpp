#include "TestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
    QDeadlineTimer timer(deadline);
    while (!condition()) {
        if (timer.hasExpired())
            return condition();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QCoreApplication::sendPostedEvents();
        ::usleep(1000); // keep the poll from spinning a core; the deadline decides, not this pause
    }
    return true;
}

quint16 freePort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

// A plain blocking client, so that probing never depends on the event loop under test.
QString portArgument(quint16 port) {
    return QStringLiteral("/P:") + QString::number(port);
}

bool answers(quint16 port) {
    return waitUntil([&] { return probePort(port, 1000).data == QByteArray("SERVICES UP"); });
}

ProbeResult probePort(quint16 port, int timeoutMs) {
    ProbeResult result;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        result.refused = true;
        ::close(fd);
        return result;
    }
    char buffer[256];
    pollfd pfd{fd, POLLIN, 0};
    while (::poll(&pfd, 1, timeoutMs) > 0) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        result.data.append(buffer, static_cast<qsizetype>(n));
    }
    ::close(fd);
    return result;
}

QByteArray askPort(quint16 port) {
    QTcpSocket socket;
    QByteArray data;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!waitUntil([&] {
            data += socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState;
        }))
        return "no answer and no close";
    return socket.error() == QAbstractSocket::ConnectionRefusedError ? "refused" : data;
}

int connectRaw(quint16 port, bool nonBlocking) {
    const int fd =
        ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    return fd;
}

QString readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(file.readAll());
}

bool writeFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QString logFileName(const QString& base, const QString& program, const QDate& date) {
    return base + QLatin1Char('.') + program + date.toString(QStringLiteral("yyyy-MM-dd")) +
           QStringLiteral(".txt");
}

QString binaryDir() {
    return qEnvironmentVariable("PROWLIX_BINARY_DIR");
}

QString sourceDir() {
    return qEnvironmentVariable("PROWLIX_SOURCE_DIR");
}

} // namespace testsupport

#include <QDirIterator>
#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>

namespace testsupport {

namespace {
// Direct children of this process, read from /proc.
QList<pid_t> children() {
    QList<pid_t> found;
    const pid_t self = ::getpid();
    QDirIterator it(QStringLiteral("/proc"), QDir::Dirs | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        it.next();
        bool numeric = false;
        const pid_t pid = it.fileName().toInt(&numeric);
        if (!numeric)
            continue;
        QFile stat(it.filePath() + QStringLiteral("/stat"));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        // The parent's number follows the state, after the closing parenthesis of the name.
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields.at(1).toInt() == self)
            found.append(pid);
    }
    return found;
}
} // namespace

ChildGuard::ChildGuard() {
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
}

ChildGuard::~ChildGuard() {
    QDeadlineTimer deadline(std::chrono::seconds(5));
    while (!deadline.hasExpired()) {
        const QList<pid_t> pids = children();
        if (pids.isEmpty())
            break;
        for (const pid_t pid : pids)
            ::kill(pid, SIGKILL);
        // Reap what has ended; the grandchildren of a killed child become ours and are next.
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        ::usleep(2000);
    }
}

} // namespace testsupport

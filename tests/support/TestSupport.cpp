#include "TestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
    QDeadlineTimer timer(deadline);
    while (!condition()) {
        if (timer.hasExpired())
            return condition();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QCoreApplication::sendPostedEvents();
        ::usleep(1000); // keeps the poll from spinning a core; the deadline decides
    }
    return true;
}

quint16 freePort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

QByteArray askPort(quint16 port, std::chrono::milliseconds deadline) {
    QTcpSocket socket;
    QByteArray data;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!waitUntil(
            [&] {
                data += socket.readAll();
                return socket.state() == QAbstractSocket::UnconnectedState;
            },
            deadline))
        return "no answer and no close";
    return socket.error() == QAbstractSocket::ConnectionRefusedError ? "refused" : data;
}

bool answers(quint16 port) {
    return waitUntil([&] { return askPort(port, std::chrono::seconds(1)) == "SERVICES UP"; });
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
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
}

bool processGone(qint64 pid) {
    return !QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid));
}

bool writeFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QString logFileName(const QString& base, const QString& program, const QDate& date) {
    return base + QLatin1Char('.') + program + date.toString(QStringLiteral("yyyy-MM-dd")) +
           QStringLiteral(".txt");
}

QString sourceDir() {
    return qEnvironmentVariable("PROWLIX_SOURCE_DIR");
}

ChildGuard::ChildGuard() {
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    qputenv("PROWLIX_RUNTIME_DIR", QFile::encodeName(runtimeDir_.path()));
}

ChildGuard::~ChildGuard() {
    // Any thread may be the parent; a killed child's orphans come up in the next pass.
    const QDir threads(QStringLiteral("/proc/self/task"));
    for (QDeadlineTimer deadline(std::chrono::seconds(5)); !deadline.hasExpired(); ::usleep(2000)) {
        bool found = false;
        for (const QString& thread : threads.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            for (const QString& word :
                 readFile(threads.filePath(thread + QStringLiteral("/children")))
                     .simplified()
                     .split(QLatin1Char(' '), Qt::SkipEmptyParts))
                if (const pid_t pid = word.toInt(); pid > 0)
                    found = ::kill(pid, SIGKILL) == 0 || found;
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        if (!found)
            break;
    }
}

} // namespace testsupport

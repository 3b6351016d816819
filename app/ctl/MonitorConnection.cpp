#include "MonitorConnection.h"

#include "base/SystemText.h"
#include "platform/RuntimeDirectory.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int replyTimeoutMs = 10000;

class Descriptor final {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

Reply failed(Reply::Outcome outcome, const QString& text) {
    Reply reply;
    reply.outcome = outcome;
    reply.error = text;
    return reply;
}

} // namespace

Reply ask(const QString& socketPath, const QJsonObject& request) {
    const QByteArray path = QFile::encodeName(socketPath);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= static_cast<qsizetype>(sizeof address.sun_path))
        return failed(Reply::Outcome::Failed, socketPath + QStringLiteral(": path too long"));
    std::memcpy(address.sun_path, path.constData(), static_cast<size_t>(path.size()));
    const Descriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0)
        return failed(Reply::Outcome::Failed, systemErrorText(errno));
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        const QString text = socketPath + QStringLiteral(": ") + systemErrorText(error);
        if (error == EACCES || error == EPERM)
            return failed(Reply::Outcome::Refused, text);
        if (error == ENOENT || error == ECONNREFUSED || error == ENOTSOCK)
            return failed(Reply::Outcome::NoMonitor, text);
        return failed(Reply::Outcome::Failed, text);
    }
    const QByteArray line = QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n';
    qsizetype sent = 0;
    while (sent < line.size()) {
        const ssize_t n = ::send(fd.get(), line.constData() + sent,
                                 static_cast<size_t>(line.size() - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break; // a refusal may close at once; its reply is still to be read
        sent += n;
    }
    QByteArray received;
    char buffer[65536];
    for (;;) {
        const qsizetype end = received.indexOf('\n');
        if (end >= 0) {
            received.truncate(end);
            break;
        }
        pollfd wait{fd.get(), POLLIN, 0};
        const int ready = ::poll(&wait, 1, replyTimeoutMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0)
            return failed(Reply::Outcome::Failed, socketPath + QStringLiteral(": no reply"));
        const ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        received.append(buffer, n);
    }
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(received, &error);
    if (received.isEmpty() || !document.isObject())
        return failed(Reply::Outcome::Failed,
                      socketPath + QStringLiteral(": no usable reply (") +
                          (received.isEmpty() ? QStringLiteral("closed") : error.errorString()) +
                          QLatin1Char(')'));
    Reply reply;
    reply.outcome = Reply::Outcome::Answered;
    reply.object = document.object();
    const QString refusal = reply.object.value(QLatin1String("error")).toString();
    if (refusal.startsWith(QLatin1String("permission denied")))
        reply.outcome = Reply::Outcome::Refused;
    return reply;
}

Search findMonitors() {
    Search search;
    QStringList folders;
    QString problem;
    const QString own = RuntimeDirectory::locate(&problem);
    if (!own.isEmpty())
        folders.append(own);
    const QString system = QStringLiteral("/run/prowlix");
    if (!folders.contains(system) && QFileInfo::exists(system))
        folders.append(system);
    for (const QString& folder : folders) {
        search.looked.append(folder);
        const QStringList sockets = QDir(folder).entryList({QStringLiteral("*.sock")},
                                                           QDir::System | QDir::Files, QDir::Name);
        for (const QString& name : sockets) {
            const QString path = folder + QLatin1Char('/') + name;
            const Reply reply = ask(path, {{QStringLiteral("cmd"), QStringLiteral("info")}});
            if (reply.outcome == Reply::Outcome::Answered)
                search.answering.append({path, reply.object});
            else if (reply.outcome == Reply::Outcome::Refused)
                search.refused.append(path);
        }
    }
    if (folders.isEmpty())
        search.looked.append(problem);
    return search;
}

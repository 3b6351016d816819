#include "checks/HealthProbe.h"

#include "base/SystemText.h"
#include "platform/Pidfd.h"
#include "platform/PosixLaunch.h"
#include "platform/ProcessStatus.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

extern char** environ;

void HealthProbe::finish(const QString& failure) {
    Q_EMIT finished(failure);
    deleteLater();
}

namespace {

// Connects, and for HTTP reads no further than the status line. A plain non-blocking socket and
// one notifier at a time: a check runs every few seconds for every task, so its cost counts.
class SocketProbe final : public HealthProbe {
  public:
    // An answer whose status line has not ended by then is no HTTP answer; nothing more is read.
    static constexpr qsizetype headLimit = 4096;

    explicit SocketProbe(const HealthCheckSpec& definition) : definition_(definition) {}
    ~SocketProbe() override { closeSocket(); }

    void begin() override {
        const QHostAddress address(definition_.host);
        if (!address.isNull()) {
            addresses_ = {address};
            return connectNext();
        }
        // Qt keeps recent answers, so a name costs a lookup about once a minute.
        QHostInfo::lookupHost(definition_.host, this, [this](const QHostInfo& info) {
            if (over_)
                return; // cancelled while the name was looked up
            addresses_ = info.addresses();
            if (addresses_.isEmpty())
                return report(QStringLiteral("host %1 not found").arg(definition_.host));
            connectNext();
        });
    }
    void cancel() override {
        over_ = true;
        closeSocket();
        deleteLater();
    }

  private:
    // A name may stand for several addresses (localhost: ::1 and 127.0.0.1): the first that
    // accepts counts, as for any client.
    void connectNext() {
        closeSocket();
        const QHostAddress address = addresses_.takeFirst();
        sockaddr_storage storage{};
        socklen_t length = 0;
        if (address.protocol() == QAbstractSocket::IPv6Protocol) {
            auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
            in6->sin6_family = AF_INET6;
            in6->sin6_port = htons(definition_.port);
            const Q_IPV6ADDR bytes = address.toIPv6Address();
            std::memcpy(&in6->sin6_addr, &bytes, sizeof bytes);
            length = sizeof *in6;
        } else {
            auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
            in4->sin_family = AF_INET;
            in4->sin_port = htons(definition_.port);
            in4->sin_addr.s_addr = htonl(address.toIPv4Address());
            length = sizeof *in4;
        }
        fd_ = ::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd_ < 0)
            return addresses_.isEmpty() ? report(systemErrorText(errno)) : connectNext();
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&storage), length) != 0 &&
            errno != EINPROGRESS)
            return addresses_.isEmpty() ? report(errorText(errno)) : connectNext();
        watch(QSocketNotifier::Write, &SocketProbe::connected);
    }

    void watch(QSocketNotifier::Type type, void (SocketProbe::*handler)()) {
        delete notifier_;
        notifier_ = new QSocketNotifier(fd_, type, this);
        connect(notifier_, &QSocketNotifier::activated, this, handler);
    }

    void connected() {
        int error = 0;
        socklen_t size = sizeof error;
        if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
            error = errno;
        if (error != 0)
            return addresses_.isEmpty() ? report(errorText(error)) : connectNext();
        if (definition_.kind == HealthCheckSpec::Kind::Tcp)
            return report({});
        QByteArray host = definition_.host.toLatin1();
        if (host.contains(':'))
            host = '[' + host + ']';
        const QByteArray request = "GET " + definition_.target + " HTTP/1.0\r\nHost: " + host +
                                   ':' + QByteArray::number(definition_.port) +
                                   "\r\nUser-Agent: prowlix-health\r\nConnection: close\r\n\r\n";
        // A fresh connection's send buffer takes a request line and three headers whole.
        if (::send(fd_, request.constData(), static_cast<size_t>(request.size()), MSG_NOSIGNAL) !=
            request.size())
            return report(QStringLiteral("the request could not be sent"));
        watch(QSocketNotifier::Read, &SocketProbe::readHead);
    }

    void readHead() {
        char buffer[headLimit];
        const ssize_t n = ::recv(fd_, buffer, static_cast<size_t>(headLimit - head_.size()), 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (n < 0)
            return report(errorText(errno));
        if (n == 0)
            return report(QStringLiteral("connection closed before an answer"));
        head_.append(buffer, n);
        const qsizetype end = head_.indexOf('\n');
        if (end < 0) {
            if (head_.size() >= headLimit)
                report(QStringLiteral("no HTTP status line in the first 4 KiB"));
            return;
        }
        // HTTP/1.x NNN reason
        const QByteArray line = head_.left(end).trimmed();
        const QList<QByteArray> parts = line.split(' ');
        bool ok = false;
        const int code = parts.size() >= 2 ? parts[1].toInt(&ok) : 0;
        if (!line.startsWith("HTTP/") || !ok || parts[1].size() != 3)
            return report(QStringLiteral("not an HTTP answer"));
        report(code >= 200 && code < 400 ? QString() : QStringLiteral("HTTP %1").arg(code));
    }

    static QString errorText(int error) {
        switch (error) {
        case ECONNREFUSED:
            return QStringLiteral("connection refused");
        case ECONNRESET:
            return QStringLiteral("connection reset");
        default:
            return systemErrorText(error);
        }
    }

    void closeSocket() {
        delete std::exchange(notifier_, nullptr);
        if (fd_ >= 0)
            ::close(std::exchange(fd_, -1));
    }
    void report(const QString& failure) {
        over_ = true;
        closeSocket();
        finish(failure);
    }

    const HealthCheckSpec definition_;
    bool over_ = false;
    QList<QHostAddress> addresses_; // those not tried yet
    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    QByteArray head_;
};

// The probe program: a child in a session of its own, reading and writing /dev/null, as the
// task's user when the task has one. Its end is seen through a process descriptor.
class ExecProbe final : public HealthProbe {
  public:
    explicit ExecProbe(const HealthCheckSpec& definition) : definition_(definition) {}
    ~ExecProbe() override {
        if (pid_ > 0) // the event loop ended first: no leftovers, at least
            ::kill(-pid_, SIGKILL);
        if (pidfd_ >= 0)
            ::close(pidfd_);
    }

    void begin() override {
        // Everything the child needs is made before the fork: after it, only calls that are safe
        // in a child of a threaded program.
        std::vector<QByteArray> encoded;
        for (const QString& part : definition_.command)
            encoded.push_back(toSystemBytes(part));
        std::vector<char*> argv;
        for (QByteArray& part : encoded)
            argv.push_back(part.data());
        argv.push_back(nullptr);
        const HealthCheckSpec::RunAs* runAs = definition_.runAs ? &*definition_.runAs : nullptr;

        pid_ = ::fork();
        if (pid_ == 0)
            runChild(argv.data(), runAs);
        if (pid_ < 0) {
            const int error = errno;
            pid_ = 0;
            return finish(QStringLiteral("cannot start the probe: ") + systemErrorText(error));
        }
        pidfd_ = openPidfd(pid_);
        if (pidfd_ >= 0) {
            auto* notifier = new QSocketNotifier(pidfd_, QSocketNotifier::Read, this);
            connect(notifier, &QSocketNotifier::activated, this, &ExecProbe::ended);
        } else {
            // No process descriptors on this system: look now and then.
            auto* poll = new QTimer(this);
            connect(poll, &QTimer::timeout, this, &ExecProbe::ended);
            poll->start(50);
        }
    }

    void cancel() override {
        cancelled_ = true;
        if (pid_ > 0)
            ::kill(-pid_, SIGKILL);
        ended();
    }

  private:
    [[noreturn]] static void runChild(char* const* argv, const HealthCheckSpec::RunAs* runAs) {
        ::setsid();
        if (runAs != nullptr && (::setgroups(runAs->groups.size(), runAs->groups.data()) != 0 ||
                                 ::setgid(runAs->gid) != 0 || ::setuid(runAs->uid) != 0))
            ::_exit(126);
        const int null = ::open("/dev/null", O_RDWR);
        if (null < 0)
            ::_exit(126);
        for (int fd = 0; fd <= 2; ++fd)
            ::dup2(null, fd);
#ifdef SYS_close_range
        // The monitor's descriptors (listeners, sockets, logs) are not the probe's business.
        ::syscall(SYS_close_range, 3U, ~0U, 0U);
#endif
        restoreDescriptorLimit(); // after the close, as the task launcher does
        struct sigaction standard = {};
        standard.sa_handler = SIG_DFL;
        for (int sig = 1; sig < NSIG; ++sig)
            ::sigaction(sig, &standard, nullptr);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(argv[0], argv, environ);
        ::_exit(127);
    }

    void ended() {
        if (pid_ <= 0)
            return;
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
            info.si_pid == 0)
            return; // still running (after a kill, its end comes through the descriptor)
        // Whatever it left running in its session goes too; its number holds the session's
        // until it is reaped, so the signal cannot reach anyone else.
        ::kill(-pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, WNOHANG);
        pid_ = 0;
        if (cancelled_) {
            deleteLater();
            return;
        }
        const ProcessStatus how = ProcessStatus::ended(status);
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
            return finish({});
        finish(WIFEXITED(status) ? QStringLiteral("exit status %1").arg(WEXITSTATUS(status))
                                 : how.exitText());
    }

    const HealthCheckSpec definition_;
    pid_t pid_ = 0;
    int pidfd_ = -1;
    bool cancelled_ = false;
};

} // namespace

HealthProbe* HealthProbe::create(const HealthCheckSpec& definition) {
    if (definition.kind == HealthCheckSpec::Kind::Exec)
        return new ExecProbe(definition);
    return new SocketProbe(definition);
}

#include "HealthProbe.h"

#include "ProcessStatus.h"
#include "SystemText.h"

#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

void HealthProbe::finish(const QString& failure) {
    Q_EMIT finished(failure);
    deleteLater();
}

namespace {

// Connects, and for HTTP reads no further than the status line.
class SocketProbe final : public HealthProbe {
  public:
    // An answer whose status line has not ended by then is no HTTP answer; nothing more is read.
    static constexpr qsizetype headLimit = 4096;

    explicit SocketProbe(const HealthCheckSpec& spec) : spec_(spec) {}

    void begin() override {
        socket_ = new QTcpSocket(this);
        socket_->setReadBufferSize(headLimit);
        connect(socket_, &QTcpSocket::connected, this, &SocketProbe::connected);
        connect(socket_, &QTcpSocket::readyRead, this, &SocketProbe::readHead);
        connect(socket_, &QTcpSocket::errorOccurred, this, &SocketProbe::failed);
        socket_->connectToHost(spec_.host, spec_.port);
    }
    void cancel() override { done(); }

  private:
    void connected() {
        if (spec_.kind == HealthCheckSpec::Kind::Tcp)
            return report({});
        QByteArray host = spec_.host.toLatin1();
        if (host.contains(':'))
            host = '[' + host + ']';
        socket_->write("GET " + spec_.target + " HTTP/1.0\r\nHost: " + host + ':' +
                       QByteArray::number(spec_.port) +
                       "\r\nUser-Agent: prowlix-health\r\nConnection: close\r\n\r\n");
    }

    void readHead() {
        head_ += socket_->read(headLimit - head_.size());
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

    void failed(QAbstractSocket::SocketError error) {
        switch (error) {
        case QAbstractSocket::ConnectionRefusedError:
            return report(QStringLiteral("connection refused"));
        case QAbstractSocket::HostNotFoundError:
            return report(QStringLiteral("host %1 not found").arg(spec_.host));
        case QAbstractSocket::RemoteHostClosedError:
            return report(QStringLiteral("connection closed before an answer"));
        default:
            return report(socket_->errorString());
        }
    }

    void done() {
        if (socket_ != nullptr) {
            socket_->disconnect(this);
            socket_->abort();
        }
        deleteLater();
    }
    void report(const QString& failure) {
        if (socket_ != nullptr) {
            socket_->disconnect(this);
            socket_->abort();
        }
        finish(failure);
    }

    const HealthCheckSpec spec_;
    QTcpSocket* socket_ = nullptr;
    QByteArray head_;
};

int openPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

// The probe program: a child in a session of its own, reading and writing /dev/null, as the
// task's user when the task has one. Its end is seen through a process descriptor.
class ExecProbe final : public HealthProbe {
  public:
    explicit ExecProbe(const HealthCheckSpec& spec) : spec_(spec) {}
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
        for (const QString& part : spec_.command)
            encoded.push_back(toSystemBytes(part));
        std::vector<char*> argv;
        for (QByteArray& part : encoded)
            argv.push_back(part.data());
        argv.push_back(nullptr);
        const HealthCheckSpec::RunAs* runAs = spec_.runAs ? &*spec_.runAs : nullptr;

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
            // The monitor's descriptors (listeners, sockets, logs) are not the probe's business.
#ifdef SYS_close_range
        ::syscall(SYS_close_range, 3U, ~0U, 0U);
#endif
        struct sigaction standard {};
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

    const HealthCheckSpec spec_;
    pid_t pid_ = 0;
    int pidfd_ = -1;
    bool cancelled_ = false;
};

} // namespace

HealthProbe* HealthProbe::create(const HealthCheckSpec& spec) {
    if (spec.kind == HealthCheckSpec::Kind::Exec)
        return new ExecProbe(spec);
    return new SocketProbe(spec);
}

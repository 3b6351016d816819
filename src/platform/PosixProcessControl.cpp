#include "PosixProcessControl.h"

#include "RuntimeError.h"
#include "SystemText.h"
#include "TaskCommand.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

QString systemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

bool nearDescriptorLimit(int fd) {
    constexpr rlim_t reserve = 64;
    rlimit limit{};
    return ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
           static_cast<rlim_t>(fd) + reserve >= limit.rlim_cur;
}

int openPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

bool signalThroughPidfd(int pidfd, int signal) {
#ifdef SYS_pidfd_send_signal
    return ::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0) == 0;
#else
    (void)pidfd;
    (void)signal;
    return false;
#endif
}

// The child starts clean: default dispositions (the monitor ignores SIGPIPE and other stray
// signals, a task must not inherit that), nothing blocked, and its own session so that a Ctrl-C in
// the monitor's terminal does not reach it.
class SpawnAttributes final {
  public:
    SpawnAttributes() {
        ::posix_spawnattr_init(&attr_);
        sigset_t all;
        sigfillset(&all);
        sigset_t none;
        sigemptyset(&none);
        ::posix_spawnattr_setsigdefault(&attr_, &all);
        ::posix_spawnattr_setsigmask(&attr_, &none);
        ::posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF |
                                               POSIX_SPAWN_SETSIGMASK);
    }
    ~SpawnAttributes() { ::posix_spawnattr_destroy(&attr_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    const posix_spawnattr_t* get() const { return &attr_; }

  private:
    posix_spawnattr_t attr_;
};

// A task reads nothing from the monitor's terminal: its input is /dev/null. Its output goes where
// the monitor's goes.
class SpawnFileActions final {
  public:
    SpawnFileActions() {
        ::posix_spawn_file_actions_init(&actions_);
        ::posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    ~SpawnFileActions() { ::posix_spawn_file_actions_destroy(&actions_); }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;
    const posix_spawn_file_actions_t* get() const { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_;
};

} // namespace

PosixProcessControl::PosixProcessControl(QObject* parent)
    : ProcessControl(parent), epollFd_(::epoll_create1(EPOLL_CLOEXEC)) {
    if (epollFd_ >= 0) {
        // One descriptor for the event loop however many tasks there are: its cost per wake-up
        // does not grow with the table.
        notifier_ = new QSocketNotifier(epollFd_, QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, [this] { drainEnded(true); });
    }
}

PosixProcessControl::~PosixProcessControl() {
    // Tasks outlive the monitor: only our descriptors go.
    delete notifier_;
    for (Child& child : children_) {
        if (child.pidfd >= 0)
            ::close(child.pidfd);
    }
    if (epollFd_ >= 0)
        ::close(epollFd_);
}

qint32 PosixProcessControl::launch(const QString& command, int showValue) {
    (void)showValue; // windows are the task's own business here
    const QStringList parts = splitTaskCommand(command);
    if (parts.isEmpty())
        throw RuntimeError(systemText(ENOENT));

    std::vector<QByteArray> encoded;
    encoded.reserve(static_cast<size_t>(parts.size()));
    for (const QString& part : parts)
        encoded.push_back(toSystemBytes(part));
    std::vector<char*> argv;
    for (QByteArray& part : encoded)
        argv.push_back(part.data());
    argv.push_back(nullptr);

    const SpawnAttributes attributes;
    static const SpawnFileActions files;
    pid_t pid = 0;
    const int rc =
        ::posix_spawnp(&pid, argv[0], files.get(), attributes.get(), argv.data(), environ);
    if (rc != 0)
        throw RuntimeError(systemText(rc));

    Child child;
    child.sinceLaunch.start();
    // The child is ours and not yet reaped, so the identifier cannot have been reused here.
    child.pidfd = openPidfd(pid);
    // The last descriptors below the limit stay free for the log, the status port and mail;
    // a task launched there is watched by the tick alone.
    if (child.pidfd >= 0 && nearDescriptorLimit(child.pidfd)) {
        ::close(child.pidfd);
        child.pidfd = -1;
    }
    // An entry under this number can only be an ended one, unless someone else reaped it.
    Child& stored = children_[pid];
    markEnded(stored);
    stored = child;
    stored.launchRound = drainRound_;
    if (stored.pidfd >= 0 && epollFd_ >= 0) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = static_cast<quint64>(static_cast<quint32>(pid));
        if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, stored.pidfd, &event) != 0) {
            ::close(stored.pidfd); // unwatchable: waitpid serves for it
            stored.pidfd = -1;
        }
    }
    return pid;
}

bool PosixProcessControl::reap(qint32 pid, const Child& child) {
    if (child.pidfd >= 0) {
        siginfo_t info{};
        const int rc = ::waitid(P_PIDFD, static_cast<id_t>(child.pidfd), &info, WEXITED | WNOHANG);
        // ECHILD: someone else reaped it (SIGCHLD ignored); the readable descriptor says it ended.
        return (rc == 0 && info.si_pid != 0) || (rc != 0 && errno == ECHILD);
    }
    const pid_t rc = ::waitpid(pid, nullptr, WNOHANG);
    return rc == pid || (rc < 0 && errno == ECHILD);
}

void PosixProcessControl::markEnded(Child& child) {
    child.ended = true;
    if (child.pidfd >= 0) {
        ::close(child.pidfd); // also leaves the epoll set
        child.pidfd = -1;
    }
}

void PosixProcessControl::drainEnded(bool fromEventLoop) {
    epoll_event events[64];
    bool report = false;
    ++drainRound_;
    int ready = 0;
    do {
        do
            ready = ::epoll_wait(epollFd_, events, 64, 0);
        while (ready < 0 && errno == EINTR);
        for (int i = 0; i < ready; ++i) {
            const auto pid = static_cast<qint32>(static_cast<quint32>(events[i].data.u64));
            const auto it = children_.find(pid);
            if (it == children_.end() || it->ended)
                continue;
            reap(pid, *it);
            markEnded(*it);
            report = report || it->sinceLaunch.elapsed() >= quickEndMs;
        }
    } while (ready == 64);
    // Within a sweep, the remaining status questions are answered from this drain.
    fresh_ = sweepDepth_ > 0;
    if (!immediate_ || !report)
        return;
    if (fromEventLoop) {
        Q_EMIT processEnded(); // last: the sweep it runs may launch and rehash
    } else {
        // An end read while answering a question (the all-up check of a restart, or a sweep that
        // has passed that task already) has consumed its notification: a sweep must still come,
        // also while the tick sleeps.
        QMetaObject::invokeMethod(
            this, [this] { Q_EMIT processEnded(); }, Qt::QueuedConnection);
    }
}

qint32 PosixProcessControl::status(qint32 pid) {
    if (pid <= 0)
        return 0; // 0 and negative identifiers name process groups, never one task
    auto it = children_.find(pid);
    if (it == children_.end()) {
        // Not launched here: it runs when it may be signalled.
        return ::kill(pid, 0) == 0 ? WAIT_TIMEOUT : 0;
    }
    if (it->ended)
        return 0;
    if (it->pidfd < 0) {
        if (reap(pid, *it)) {
            markEnded(*it);
            return 0;
        }
        return WAIT_TIMEOUT;
    }
    if (!fresh_) {
        drainEnded(false);
        it = children_.find(pid);
    } else if (it->launchRound == drainRound_) {
        // Launched after the last drain (a restart within this sweep): ask its descriptor alone.
        pollfd single{it->pidfd, POLLIN, 0};
        if (::poll(&single, 1, 0) > 0 && single.revents != 0) {
            reap(pid, *it);
            markEnded(*it);
        }
    }
    return it->ended ? 0 : WAIT_TIMEOUT;
}

bool PosixProcessControl::needsPolling(qint32 pid) const {
    if (!immediate_ || notifier_ == nullptr)
        return true;
    const auto it = children_.constFind(pid);
    if (it == children_.cend() || it->ended)
        return true; // not ours (only a poll can tell), or ended and not yet reported
    return it->pidfd < 0 || it->sinceLaunch.elapsed() < quickEndMs;
}

void PosixProcessControl::requestClose(qint32 pid) {
    if (pid <= 0)
        return; // would signal a whole process group, the monitor's own included
    const auto it = children_.constFind(pid);
    if (it == children_.cend()) {
        ::kill(pid, SIGTERM);
        return;
    }
    if (it->ended)
        return; // the number may belong to someone else by now
    if (it->pidfd < 0 || !signalThroughPidfd(it->pidfd, SIGTERM))
        ::kill(pid, SIGTERM);
}

void PosixProcessControl::beginSweep() {
    ++sweepDepth_;
    fresh_ = false; // the pass's first question drains
}

void PosixProcessControl::endSweep() {
    if (--sweepDepth_ == 0)
        fresh_ = false;
}

void PosixProcessControl::setImmediateDetection(bool on) {
    immediate_ = on;
    if (notifier_ != nullptr)
        notifier_->setEnabled(on);
}

void PosixProcessControl::release(qint32 pid) {
    // Only a number seen to end is forgotten; a live process keeps its watch.
    const auto it = children_.find(pid);
    if (it != children_.end() && it->ended)
        children_.erase(it);
}

std::unique_ptr<ProcessControl> createProcessControl(QObject* parent) {
    auto control = std::make_unique<PosixProcessControl>(parent);
    if (qEnvironmentVariable("PROWLIX_BENCH_TICK_ONLY") == QLatin1String("1"))
        control->setImmediateDetection(false);
    return control;
}

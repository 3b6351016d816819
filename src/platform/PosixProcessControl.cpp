#include "PosixProcessControl.h"

#include "RuntimeError.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <cstring>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

QString systemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
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

// The child starts clean: default dispositions (the monitor ignores SIGPIPE, a task must not
// inherit that), nothing blocked, and its own session so that a Ctrl-C in the monitor's terminal
// does not reach it.
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

PosixProcessControl::PosixProcessControl(QObject* parent) : ProcessControl(parent) {}

PosixProcessControl::~PosixProcessControl() {
    // Tasks outlive the monitor: only our descriptors go.
    for (Child& child : children_) {
        delete child.notifier;
        if (child.pidfd >= 0)
            ::close(child.pidfd);
    }
}

QStringList PosixProcessControl::splitCommand(const QString& command) {
    QStringList tokens;
    bool inQuotes = false;
    QString current;
    const auto closeToken = [&] {
        const QString token = current.trimmed();
        if (!token.isEmpty())
            tokens.append(token);
        current.clear();
    };
    for (const QChar c : command) {
        if (c == QLatin1Char('"'))
            inQuotes = !inQuotes;
        else if (c == QLatin1Char(' ') && !inQuotes)
            closeToken();
        else
            current += c;
    }
    if (!inQuotes)
        closeToken();
    return tokens;
}

qint32 PosixProcessControl::launch(const QString& command, int showValue) {
    (void)showValue; // windows are the task's own business here
    const QStringList parts = splitCommand(command);
    if (parts.isEmpty())
        throw RuntimeError(systemText(ENOENT));

    std::vector<QByteArray> encoded;
    encoded.reserve(static_cast<size_t>(parts.size()));
    for (const QString& part : parts)
        encoded.push_back(part.toLocal8Bit());
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
    // An entry under this number can only be an ended one, unless someone else reaped it.
    Child& stored = children_[pid];
    markEnded(stored);
    stored = child;
    if (immediate_)
        watch(pid, stored);
    return pid;
}

void PosixProcessControl::watch(qint32 pid, Child& child) {
    if (child.pidfd < 0 || child.notifier != nullptr || child.ended)
        return;
    child.notifier = new QSocketNotifier(child.pidfd, QSocketNotifier::Read, this);
    connect(child.notifier, &QSocketNotifier::activated, this,
            [this, pid] { onPidfdReadable(pid); });
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
    if (child.notifier != nullptr) {
        child.notifier->setEnabled(false);
        child.notifier->deleteLater(); // may be the notifier whose signal is running
        child.notifier = nullptr;
    }
    if (child.pidfd >= 0) {
        ::close(child.pidfd);
        child.pidfd = -1;
    }
}

void PosixProcessControl::onPidfdReadable(qint32 pid) {
    const auto it = children_.find(pid);
    if (it == children_.end() || it->ended)
        return;
    reap(pid, *it);
    markEnded(*it);
    if (immediate_ && it->sinceLaunch.elapsed() >= quickEndMs)
        Q_EMIT processEnded(); // last: the sweep it runs may launch and rehash
}

void PosixProcessControl::pollLiveChildren() {
    pollSet_.clear();
    pollPids_.clear();
    for (auto it = children_.cbegin(); it != children_.cend(); ++it) {
        if (!it->ended && it->pidfd >= 0) {
            pollSet_.push_back(pollfd{it->pidfd, POLLIN, 0});
            pollPids_.push_back(it.key());
        }
    }
    ++pollRound_;
    int ready = 0;
    do
        ready = ::poll(pollSet_.data(), pollSet_.size(), 0);
    while (ready < 0 && errno == EINTR);
    for (size_t i = 0; i < pollSet_.size(); ++i) {
        Child& child = children_[pollPids_[i]];
        if (ready > 0 && pollSet_[i].revents != 0) {
            reap(pollPids_[i], child);
            markEnded(child);
        } else if (ready >= 0) {
            child.pollRound = pollRound_;
        }
    }
    if (!pollFresh_) {
        pollFresh_ = true;
        QMetaObject::invokeMethod(
            this, [this] { pollFresh_ = false; }, Qt::QueuedConnection);
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
    if (!pollFresh_) {
        pollLiveChildren();
        it = children_.find(pid);
        if (it->ended)
            return 0;
    }
    if (it->pollRound == pollRound_)
        return WAIT_TIMEOUT;
    // Launched after this round's poll: ask its descriptor alone.
    pollfd single{it->pidfd, POLLIN, 0};
    if (::poll(&single, 1, 0) > 0 && single.revents != 0) {
        reap(pid, *it);
        markEnded(*it);
        return 0;
    }
    return WAIT_TIMEOUT;
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

void PosixProcessControl::setImmediateDetection(bool on) {
    immediate_ = on;
    for (auto it = children_.begin(); it != children_.end(); ++it) {
        if (on) {
            watch(it.key(), *it);
        } else if (it->notifier != nullptr) {
            it->notifier->setEnabled(false);
            it->notifier->deleteLater();
            it->notifier = nullptr;
        }
    }
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

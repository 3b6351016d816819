#include "platform/PosixProcessControl.h"

#include "base/RuntimeError.h"
#include "base/SystemText.h"
#include "platform/Pidfd.h"
#include "platform/PosixLaunch.h"

#include <QAbstractEventDispatcher>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool nearDescriptorLimit(int fd) {
    constexpr rlim_t reserve = 64;
    rlimit limit{};
    return ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
           static_cast<rlim_t>(fd) + reserve >= limit.rlim_cur;
}

// The session of a live process (zombies count as gone), or -1.
pid_t sessionOf(pid_t pid) {
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char buffer[512];
    const ssize_t got = ::read(fd, buffer, sizeof buffer - 1);
    ::close(fd);
    if (got <= 0)
        return -1;
    buffer[got] = 0;
    // The command name may hold blanks and parentheses: the fields start after the last ')'.
    const char* rest = std::strrchr(buffer, ')');
    char state = 0;
    int ppid = 0, pgrp = 0, session = -1;
    if (rest == nullptr ||
        std::sscanf(rest + 1, " %c %d %d %d", &state, &ppid, &pgrp, &session) != 4 ||
        state == 'Z' || state == 'X')
        return -1;
    return session;
}

// The processes of session sid other than its leader, read from /proc (field 6 of stat is the
// session). A session holds its number while any member lives, so the number cannot name a
// stranger's session then. A cgroup per task would also catch processes that leave the session
// (setsid), but needs a delegated hierarchy that a monitor cannot count on; the session is what
// every task has.
std::vector<pid_t> sessionMembers(pid_t sid) {
    std::vector<pid_t> members;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr)
        return members;
    while (const dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != 0 || pid == sid)
            continue;
        if (sessionOf(static_cast<pid_t>(pid)) == sid)
            members.push_back(static_cast<pid_t>(pid));
    }
    ::closedir(proc);
    return members;
}

// SIGKILL to every process left in session sid. Each is pinned by a process descriptor before
// its session is read again, so a number that changed hands meanwhile is never signalled.
void killSessionMembers(pid_t sid) {
    for (const pid_t member : sessionMembers(sid)) {
        const int pidfd = openPidfd(member);
        if (pidfd < 0)
            continue;
        if (sessionOf(member) == sid && !signalThroughPidfd(pidfd, SIGKILL))
            ::kill(member, SIGKILL);
        ::close(pidfd);
    }
}

} // namespace

PosixProcessControl::PosixProcessControl(EndDetection detection, Clock& clock, QObject* parent)
    : ProcessControl(parent), clock_(clock), epollFd_(::epoll_create1(EPOLL_CLOEXEC)),
      closeTimer_(clock) {
    reserveLaunchDescriptor();
    closeTimer_.setSingleShot(true);
    connect(&closeTimer_, &ClockTimer::timeout, this, &PosixProcessControl::closesDue);
    reportTimer_.setSingleShot(true);
    reportTimer_.setInterval(0);
    connect(&reportTimer_, &QTimer::timeout, this, &PosixProcessControl::reportEnded);
    if (epollFd_ >= 0 && detection == EndDetection::Immediate) {
        // One descriptor for the event loop however many tasks there are: its cost per wake-up
        // does not grow with the table.
        notifier_ = new QSocketNotifier(epollFd_, QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, [this] { drainEnded(true); });
    }
    // Every status question of one event-loop turn is answered from the turn's first drain; an
    // end that comes later in the turn is found by the next one.
    if (const auto* dispatcher = QAbstractEventDispatcher::instance()) {
        batching_ = true;
        connect(dispatcher, &QAbstractEventDispatcher::awake, this, [this] { fresh_ = false; });
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
    LaunchSpec request;
    request.command = command;
    request.showValue = showValue; // windows are the task's own business here
    return launchWith(request);
}

qint32 PosixProcessControl::launchWith(const LaunchSpec& request) {
    const pid_t pid = spawnTask(request);
    Child child;
    child.launchedAt = clock_.now();
    child.stopSignal = request.stopSignal;
    // The child is ours and not yet reaped, so the identifier cannot have been reused here.
    child.pidfd = openPidfd(pid);
    // The last descriptors below the limit stay free for the log, the status port and mail;
    // a task launched there is watched by the tick alone.
    if (child.pidfd >= 0 && nearDescriptorLimit(child.pidfd)) {
        ::close(child.pidfd);
        child.pidfd = -1;
    }
    // A live entry under this number means someone else reaped it.
    if (const auto old = children_.find(pid); old != children_.end())
        markEnded(old, ProcessStatus::endedUnknown());
    // Without the epoll set no drain would ever read the descriptor: waitpid serves then.
    if (!watch(pid, child)) {
        child.pidfd = -1;
        watch(pid, child);
    }
    return pid;
}

bool PosixProcessControl::watch(qint32 pid, Child child) {
    if (child.pidfd >= 0) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = static_cast<quint64>(static_cast<quint32>(pid));
        if (epollFd_ < 0 || ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, child.pidfd, &event) != 0) {
            ::close(child.pidfd);
            return false;
        }
    }
    if (seenEnded(pid)) {
        ended_[static_cast<size_t>(pid)] = false;
        endStatus_.remove(pid);
    }
    child.launchRound = drainRound_;
    closes_.remove(pid); // a close asked of an earlier process with this number is no more
    children_.insert(pid, child);
    return true;
}

bool PosixProcessControl::adopt(qint32 pid, const std::function<bool()>& sameProcess) {
    if (pid <= 0 || children_.contains(pid))
        return false;
    const int pidfd = openPidfd(pid);
    if (pidfd < 0)
        return false;
    // A process that cannot be watched by its descriptor is not adopted: only the descriptor keeps
    // a later holder of the number from passing for it.
    if (nearDescriptorLimit(pidfd) || !sameProcess()) {
        ::close(pidfd);
        return false;
    }
    Child child;
    child.pidfd = pidfd;
    // Long past its first interval: its end is reported at once, the tick is not needed.
    child.launchedAt = clock_.now() - supervisionTickMs;
    child.adopted = true;
    return watch(pid, child);
}

namespace {
// waitid's account of an end as the wait status waitpid would have given.
int waitStatusOf(const siginfo_t& info) {
    switch (info.si_code) {
    case CLD_EXITED:
        return (info.si_status & 0xff) << 8;
    case CLD_DUMPED:
        return info.si_status | 0x80;
    default:
        return info.si_status;
    }
}
} // namespace

std::optional<ProcessStatus> PosixProcessControl::reap(qint32 pid, const Child& child) {
    if (child.pidfd >= 0) {
        siginfo_t info{};
        const int rc = ::waitid(P_PIDFD, static_cast<id_t>(child.pidfd), &info, WEXITED | WNOHANG);
        if (rc == 0 && info.si_pid != 0)
            return ProcessStatus::ended(waitStatusOf(info));
        // ECHILD: someone else reaped it (SIGCHLD ignored); the readable descriptor says it ended.
        if (rc != 0 && errno == ECHILD)
            return ProcessStatus::endedUnknown();
        return std::nullopt;
    }
    int waitStatus = 0;
    const pid_t rc = ::waitpid(pid, &waitStatus, WNOHANG);
    if (rc == pid)
        return ProcessStatus::ended(waitStatus);
    if (rc < 0 && errno == ECHILD)
        return ProcessStatus::endedUnknown();
    return std::nullopt;
}

void PosixProcessControl::markEnded(QHash<qint32, Child>::iterator it, ProcessStatus how) {
    if (it->pidfd >= 0)
        ::close(it->pidfd); // also leaves the epoll set
    const qint32 pid = it.key();
    const auto n = static_cast<size_t>(pid);
    if (n >= ended_.size())
        ended_.resize(n + 1);
    ended_[n] = true;
    children_.erase(it);
    if (!how.known())
        return;
    if (endOrder_.size() == endsKept) {
        endStatus_.remove(endOrder_.front());
        endOrder_.pop_front();
    }
    endStatus_.insert(pid, how.waitStatus());
    endOrder_.push_back(pid);
}

ProcessStatus PosixProcessControl::endOf(qint32 pid) const {
    const auto it = endStatus_.constFind(pid);
    return it == endStatus_.cend() ? ProcessStatus::endedUnknown() : ProcessStatus::ended(*it);
}

void PosixProcessControl::drainEnded(bool fromEventLoop) {
    epoll_event events[64];
    std::vector<qint32> reported;
    ++drainRound_;
    int ready = 0;
    do {
        do
            ready = ::epoll_wait(epollFd_, events, 64, 0);
        while (ready < 0 && errno == EINTR);
        for (int i = 0; i < ready; ++i) {
            const auto pid = static_cast<qint32>(static_cast<quint32>(events[i].data.u64));
            const auto it = children_.find(pid);
            if (it == children_.end())
                continue;
            const auto how = reap(pid, *it);
            if (clock_.now() - it->launchedAt >= supervisionTickMs)
                reported.push_back(pid);
            markEnded(it, how.value_or(ProcessStatus::endedUnknown()));
        }
    } while (ready == 64);
    fresh_ = batching_;
    if (notifier_ == nullptr || reported.empty())
        return;
    unreported_.insert(unreported_.end(), reported.begin(), reported.end());
    // Ends already waiting for their slice go first. An end read while answering a question (the
    // all-up check of a restart, or a sweep that has passed that task already) has consumed its
    // notification: its report must still come, also while the tick sleeps.
    if (fromEventLoop && !reportTimer_.isActive())
        reportEnded(); // last: what handles an end may launch and rehash
    else
        reportTimer_.start();
}

void PosixProcessControl::reportEnded() {
    QElapsedTimer slice;
    slice.start();
    while (!unreported_.empty()) {
        // Taken off first: a handler that lets events run must not see it again.
        const qint32 pid = unreported_.front();
        unreported_.pop_front();
        Q_EMIT processEnded(pid);
        if (!unreported_.empty() && slice.elapsed() >= sliceMs_) {
            reportTimer_.start();
            return;
        }
    }
}

ProcessStatus PosixProcessControl::status(qint32 pid) {
    if (pid <= 0)
        return ProcessStatus::endedUnknown(); // 0 and below name process groups, never one task
    if (seenEnded(pid))
        return endOf(pid);
    const auto it = children_.find(pid);
    if (it == children_.end()) {
        // Not launched here: it runs when it may be signalled.
        return ::kill(pid, 0) == 0 ? ProcessStatus::running() : ProcessStatus::endedUnknown();
    }
    if (it->pidfd < 0) {
        const auto how = reap(pid, *it);
        if (!how)
            return ProcessStatus::running();
        markEnded(it, *how);
        return *how;
    }
    if (!fresh_) {
        drainEnded(false);
        return seenEnded(pid) ? endOf(pid) : ProcessStatus::running();
    }
    if (it->launchRound == drainRound_) {
        // Launched after this turn's drain (a restart within a sweep): ask its descriptor alone.
        pollfd single{it->pidfd, POLLIN, 0};
        if (::poll(&single, 1, 0) > 0 && single.revents != 0) {
            const ProcessStatus how = reap(pid, *it).value_or(ProcessStatus::endedUnknown());
            markEnded(it, how);
            return how;
        }
    }
    return ProcessStatus::running();
}

bool PosixProcessControl::needsPolling(qint32 pid) const {
    if (notifier_ == nullptr || seenEnded(pid))
        return true; // nothing reports ends, or this one is seen and not yet reported
    const auto it = children_.constFind(pid);
    if (it == children_.cend())
        return true; // not ours: only a poll can tell
    // Adopted ones answer without reading the clock: a start-up that adopts thousands of tasks
    // asks about each of them after every adoption.
    return it->pidfd < 0 || (!it->adopted && clock_.now() - it->launchedAt < supervisionTickMs);
}

void PosixProcessControl::requestClose(qint32 pid) {
    if (pid <= 0)
        return; // would signal a whole process group, the monitor's own included
    if (seenEnded(pid))
        return; // the number may belong to someone else by now
    const auto it = children_.constFind(pid);
    if (it == children_.cend()) {
        ::kill(pid, SIGTERM);
        return;
    }
    if (it->pidfd < 0 || !signalThroughPidfd(it->pidfd, it->stopSignal))
        ::kill(pid, it->stopSignal);
    if (stopTimeoutMs_ <= 0 || closes_.contains(pid))
        return;
    const qint64 due = clock_.now() + stopTimeoutMs_;
    closes_.insert(pid, due);
    if (!closeTimer_.isActive() || closes_.size() == 1)
        closeTimer_.start(static_cast<int>(stopTimeoutMs_));
}

int PosixProcessControl::closesPending() const {
    int pending = 0;
    for (auto it = closes_.cbegin(); it != closes_.cend(); ++it)
        pending += children_.contains(it.key()) ? 1 : 0;
    return pending;
}

void PosixProcessControl::closesDue() {
    const qint64 now = clock_.now();
    qint64 next = -1;
    for (auto it = closes_.begin(); it != closes_.end();) {
        if (it.value() <= now) {
            const qint32 pid = it.key();
            it = closes_.erase(it);
            forceClose(pid);
        } else {
            next = next < 0 ? it.value() : std::min(next, it.value());
            ++it;
        }
    }
    if (next >= 0)
        closeTimer_.start(static_cast<int>(next - now));
}

void PosixProcessControl::finishCloses() {
    const QList<qint32> pids = closes_.keys();
    closes_.clear();
    closeTimer_.stop();
    for (const qint32 pid : pids)
        forceClose(pid);
}

void PosixProcessControl::forceClose(qint32 pid) {
    if (pid <= 0)
        return;
    // A number seen to end may be someone else's by now: only a live task of ours is signalled
    // by number. Its session outlives it while a member holds it, and that number is not handed
    // out again meanwhile, so what is left of the session is found by its id.
    if (const auto it = children_.constFind(pid); it != children_.cend()) {
        ::kill(-pid, SIGKILL);
        if (it->pidfd < 0 || !signalThroughPidfd(it->pidfd, SIGKILL))
            ::kill(pid, SIGKILL);
    }
    killSessionMembers(pid);
}

int PosixProcessControl::leftoverCount(qint32 pid) {
    // The task's process group is where children stay unless they move: a process group id
    // cannot be handed out again while a member holds it, so an empty group costs one call.
    // Only then is the session counted, from /proc.
    if (pid <= 0 || ::kill(-pid, 0) != 0)
        return 0;
    return static_cast<int>(sessionMembers(pid).size());
}

std::unique_ptr<ProcessControl> createProcessControl(EndDetection detection, Clock& clock,
                                                     QObject* parent) {
    return std::make_unique<PosixProcessControl>(detection, clock, parent);
}

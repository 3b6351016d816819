#pragma once

#include "platform/Clock.h"
#include "platform/ProcessControl.h"

#include <QHash>
#include <QTimer>
#include <deque>
#include <optional>
#include <vector>

class QSocketNotifier;

// Tasks on Linux: spawned directly (no shell) in a session of their own, each watched through a
// process file descriptor so that its end is seen at once and its identifier can never be
// confused with a later process that the system hands the same number. The system is asked once
// per event-loop turn however many status questions the turn brings.
class PosixProcessControl : public ProcessControl {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PosixProcessControl)

  public:
    // Ends are reported in slices of about this long (each report may restart a task, which
    // launches a process), so that a burst lets input and repaints run between them.
    static constexpr qint64 sliceMs = 10;

    explicit PosixProcessControl(EndDetection detection = EndDetection::Immediate,
                                 Clock& clock = Clock::system(), QObject* parent = nullptr);
    ~PosixProcessControl() override;

    qint32 launch(const QString& command, int showValue) override;
    qint32 launchWith(const LaunchSpec& request) override;
    ProcessStatus status(qint32 pid) override;
    bool adopt(qint32 pid, const std::function<bool()>& sameProcess) override;
    void requestClose(qint32 pid) override;
    void forceClose(qint32 pid) override;
    bool needsPolling(qint32 pid) const override;
    void lookAgain() override { fresh_ = false; }
    void setStopTimeout(qint64 ms) override { stopTimeoutMs_ = ms; }
    int closesPending() const override;
    void finishCloses() override;
    int leftoverCount(qint32 pid) override;
    // The length of a slice of reports; at least one end is reported per slice.
    void setSliceMs(qint64 ms) { sliceMs_ = ms; }

  private:
    void closesDue();
    // Reports the ends read, oldest first, until the slice is used up; the rest come from
    // reportTimer_.
    void reportEnded();

    struct Child {
        int pidfd = -1;          // -1 when none could be had; waitpid serves then
        qint64 launchedAt = 0;   // on clock_
        quint64 launchRound = 0; // the drain count when it was launched
        bool adopted = false;    // not launched here: it has no first interval
        int stopSignal = SIGTERM;
    };

    // Reaps every task whose descriptor says it has ended; from the event loop, also asks for a
    // sweep when one of them ran for at least one tick (supervisionTickMs): launches that end
    // sooner are left to the tick, so a task that crashes at once restarts no faster than it.
    void drainEnded(bool fromEventLoop);
    // Forgets the child; only the fact that its number ended is kept, and for a while how.
    // Puts a live descriptor in the epoll set and the child in the table; false when it cannot be.
    bool watch(qint32 pid, Child child);
    void markEnded(QHash<qint32, Child>::iterator it, ProcessStatus how);
    // The child's end when it has ended, reaped; nothing while it runs.
    static std::optional<ProcessStatus> reap(qint32 pid, const Child& child);
    bool seenEnded(qint32 pid) const {
        return static_cast<size_t>(pid) < ended_.size() && ended_[static_cast<size_t>(pid)];
    }
    ProcessStatus endOf(qint32 pid) const;

    Clock& clock_;
    QHash<qint32, Child> children_; // the live ones
    // One bit per number seen to end, until a launch here gets that number again: bounded by the
    // system's largest process number, and no ended process can pass for a stranger's.
    std::vector<bool> ended_;
    // How the most recent ends came about, for whoever asks after the drain that reaped them; a
    // bounded window, since the supervisor asks within the same event-loop turn.
    static constexpr size_t endsKept = 4096;
    QHash<qint32, int> endStatus_;
    std::deque<qint32> endOrder_;
    int epollFd_ = -1;                    // every live task's descriptor
    QSocketNotifier* notifier_ = nullptr; // none when the tick alone finds ends
    // Set by a drain; cleared whenever the event loop wakes, so a turn drains at most once.
    bool fresh_ = false;
    bool batching_ = false;
    quint64 drainRound_ = 0;
    qint64 stopTimeoutMs_ = 0;
    std::deque<qint32> unreported_; // ends read, to be reported in order
    QTimer reportTimer_;            // zero-time: the next slice of reports
    qint64 sliceMs_ = sliceMs;
    QHash<qint32, qint64> closes_; // tasks asked to close: when they are forced, on clock_
    ClockTimer closeTimer_;        // the earliest of them
};

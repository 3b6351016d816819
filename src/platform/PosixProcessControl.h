#pragma once

#include "ProcessControl.h"

#include <QElapsedTimer>
#include <QHash>

class QSocketNotifier;

// Tasks on Linux: spawned directly (no shell) in a session of their own, each watched through a
// process file descriptor so that its end is seen at once and its identifier can never be
// confused with a later process that the system hands the same number.
class PosixProcessControl final : public ProcessControl {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PosixProcessControl)

  public:
    // Launches that end sooner than this are left to the supervision tick, so that a task that
    // crashes at once is restarted no faster than the tick allows.
    static constexpr qint64 quickEndMs = 100;

    explicit PosixProcessControl(QObject* parent = nullptr);
    ~PosixProcessControl() override;

    qint32 launch(const QString& command, int showValue) override;
    qint32 status(qint32 pid) override;
    void requestClose(qint32 pid) override;
    bool needsPolling(qint32 pid) const override;
    void setImmediateDetection(bool on) override;
    void release(qint32 pid) override;
    void beginSweep() override;
    void endSweep() override;

  private:
    struct Child {
        int pidfd = -1; // -1 when none could be had; waitpid serves then
        bool ended = false;
        QElapsedTimer sinceLaunch;
        quint64 launchRound = 0; // the drain count when it was launched
    };

    // Reaps every task whose descriptor says it has ended; from the event loop, also asks for a
    // sweep when one of them ran for at least quickEndMs.
    void drainEnded(bool fromEventLoop);
    static void markEnded(Child& child);
    static bool reap(qint32 pid, const Child& child);

    QHash<qint32, Child> children_;
    int epollFd_ = -1; // every live task's descriptor
    QSocketNotifier* notifier_ = nullptr;
    bool immediate_ = true;
    // Set by a drain within a sweep; cleared when a sweep begins or the outermost one ends.
    bool fresh_ = false;
    int sweepDepth_ = 0;
    quint64 drainRound_ = 0;
};

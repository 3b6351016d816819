#pragma once

#include "ProcessControl.h"

#include <QElapsedTimer>
#include <QHash>
#include <QStringList>
#include <poll.h>
#include <vector>

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
    void setImmediateDetection(bool on) override;
    void release(qint32 pid) override;

    // Program and arguments of a command: blanks separate, double quotes group and are dropped,
    // an open quote drops the token it opens and the rest of the text.
    static QStringList splitCommand(const QString& command);

  private:
    struct Child {
        int pidfd = -1; // -1 when none could be had; waitpid serves then
        bool ended = false;
        QSocketNotifier* notifier = nullptr;
        QElapsedTimer sinceLaunch;
        quint64 pollRound = 0; // the batch poll that last saw it running
    };

    void watch(qint32 pid, Child& child);
    void onPidfdReadable(qint32 pid);
    static void markEnded(Child& child);
    void pollLiveChildren();
    static bool reap(qint32 pid, const Child& child);

    QHash<qint32, Child> children_;
    bool immediate_ = true;
    // One poll() over every live descriptor answers all status questions of one sweep; the
    // answers stay valid until control returns to the event loop.
    quint64 pollRound_ = 0;
    bool pollFresh_ = false;
    std::vector<pollfd> pollSet_;
    std::vector<qint32> pollPids_;
};

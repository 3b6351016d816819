#pragma once

#include <QObject>

class QSocketNotifier;

// Signals that must not end the monitor: SIGPIPE (a closed standard error or a peer that went
// away turns into a failed write instead), SIGUSR1, SIGUSR2 and SIGALRM. Tasks start with the
// default dispositions again.
void ignoreStraySignals();

// Turns SIGTERM, SIGINT, SIGHUP and SIGQUIT (a hand-over: the monitor ends and leaves its tasks
// to its successor) into a Qt signal delivered by the event loop: the handler
// itself only writes a byte to a pipe, everything else runs on the main thread.
class SignalWatcher final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SignalWatcher)

  public:
    explicit SignalWatcher(QObject* parent = nullptr);
    ~SignalWatcher() override;

  Q_SIGNALS:
    void stopRequested(int signalNumber);

  private:
    void readPipe();

    QSocketNotifier* notifier_ = nullptr;
};

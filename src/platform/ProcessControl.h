#pragma once

#include "platform/Clock.h"
#include "platform/LaunchSpec.h"
#include "platform/ProcessStatus.h"
#include "platform/SupervisionTick.h"

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

// Launching and testing the tasks' processes. The engine talks to this interface only;
// tests may replace it, the real one spawns processes without a shell.
class ProcessControl : public QObject {
    Q_OBJECT

  public:
    using QObject::QObject;
    ~ProcessControl() override = default;

    // Starts the command (program and arguments; blanks separate, double quotes group, no
    // shell) and returns the process identifier. Throws RuntimeError with the system's
    // description when the program cannot be found or run. The show value has no effect here.
    virtual qint32 launch(const QString& command, int showValue) = 0;
    // The same with the task's own user, directory, environment, mask, stop signal and output.
    // An unusable value throws RuntimeError naming the option and the reason; nothing is started.
    virtual qint32 launchWith(const LaunchSpec& request) {
        return launch(request.command, request.showValue);
    }

    // Running, or ended (also when it cannot be found or may not be signalled), with its wait
    // status when this monitor reaped it. A process seen to end never counts as running again.
    virtual ProcessStatus status(qint32 pid) = 0;

    // Watches a running process this monitor did not launch (a task its predecessor left). The
    // watch is taken first and sameProcess asked after, so a number that changes hands in between
    // is refused; false, and nothing watched, when the process cannot be proven the same or
    // watched. Its end is unknown unless it is this monitor's own child.
    virtual bool adopt(qint32 pid, const std::function<bool()>& sameProcess) {
        (void)pid;
        (void)sameProcess;
        return false;
    }

    // Asks the task to close with its stop signal (SIGTERM unless it has its own); never waits.
    // With a stop timeout, a task still running after it gets SIGKILL, and so does every process
    // left in its session.
    virtual void requestClose(qint32 pid) = 0;
    // SIGKILL to the process and every process left in its session; never waits.
    virtual void forceClose(qint32 pid) = 0;

    // STOP_TIMEOUT in milliseconds; 0 (the default): the polite request only, never forced.
    virtual void setStopTimeout(qint64 ms) { (void)ms; }
    // Tasks asked to close that still run.
    virtual int closesPending() const { return 0; }
    // Forces every close still pending now (the monitor is leaving and cannot wait any longer).
    virtual void finishCloses() {}
    // Processes other than the task's own still running in the session of ended task pid.
    virtual int leftoverCount(qint32 pid) {
        (void)pid;
        return 0;
    }

    // True while only a poll (the supervision tick) can find this process's end: nothing reports
    // it, it is in its first tick interval (an end then is left to the tick), or its end has been
    // seen and not yet reported. The tick may sleep while no task needs it.
    virtual bool needsPolling(qint32 pid) const {
        (void)pid;
        return true;
    }

    // The next status question looks at the system again, even within an event-loop turn whose
    // answers were already read: the loop may have stood still since (a stopped monitor).
    virtual void lookAgain() {}

  Q_SIGNALS:
    // A launched process has ended and at least one tick interval has passed since its launch:
    // its task should be handled now instead of waiting for the next tick. One signal per end,
    // so that an end costs the same whatever the number of tasks.
    void processEnded(qint32 pid);
};

// How the end of a task is found: reported at once, or only by the supervision tick (benchmarks
// compare the two).
enum class EndDetection { Immediate, TickOnly };

std::unique_ptr<ProcessControl>
createProcessControl(EndDetection detection = EndDetection::Immediate,
                     Clock& clock = Clock::system(), QObject* parent = nullptr);

#pragma once

// Header-only stand-ins for the engine's seams; include only from tests that link the engine.

#include "PosixProcessControl.h"
#include "RuntimeError.h"
#include "SignalTarget.h"

#include <QList>
#include <functional>

namespace testsupport {

// The real launcher, recording what cannot be seen on the processes themselves: the show value
// of each launch and the close requests, in order. afterLaunch may act on a fresh process.
class RecordingProcesses final : public ProcessControl {
  public:
    RecordingProcesses() {
        connect(&real, &ProcessControl::processEnded, this, &ProcessControl::processEnded);
    }
    qint32 launch(const QString& command, int showValue) override {
        showValues.append(showValue);
        const qint32 pid = real.launch(command, showValue);
        if (afterLaunch)
            afterLaunch(pid);
        return pid;
    }
    qint32 status(qint32 pid) override { return real.status(pid); }
    bool needsPolling(qint32 pid) const override { return real.needsPolling(pid); }
    void requestClose(qint32 pid) override {
        closeRequests.append(pid);
        real.requestClose(pid);
    }
    void setImmediateDetection(bool on) override { real.setImmediateDetection(on); }
    void release(qint32 pid) override { real.release(pid); }
    void beginSweep() override { real.beginSweep(); }
    void endSweep() override { real.endSweep(); }

    PosixProcessControl real;
    std::function<void(qint32)> afterLaunch;
    QList<int> showValues;
    QList<qint32> closeRequests;
};

// The description of the RuntimeError the call throws; empty when it throws none.
inline QString errorText(const std::function<void()>& call) {
    try {
        call();
    } catch (const RuntimeError& error) {
        return error.description();
    }
    return {};
}

class SilentSignals final : public SignalTarget {
  public:
    void NotifyON() override {}
    void NotifyOFF() override {}
    void closeStatusListener() override {}
    void openStatusListener() override {}
};

} // namespace testsupport

#pragma once

// Header-only stand-ins for the engine's seams; include only from tests that link the engine.

#include "base/RuntimeError.h"
#include "platform/PosixProcessControl.h"

#include <QList>
#include <functional>

namespace testsupport {

// A spy over the real launcher: real processes, and a record of what they cannot show, the show
// value of each launch and the close requests, in order.
class SpyingProcesses final : public ProcessControl {
  public:
    explicit SpyingProcesses(EndDetection detection = EndDetection::Immediate) : real(detection) {
        connect(&real, &ProcessControl::processEnded, this, &ProcessControl::processEnded);
    }
    qint32 launch(const QString& command, int showValue) override {
        showValues.append(showValue);
        return real.launch(command, showValue);
    }
    qint32 launchWith(const LaunchSpec& request) override {
        showValues.append(request.showValue);
        return real.launchWith(request);
    }
    ProcessStatus status(qint32 pid) override { return real.status(pid); }
    bool needsPolling(qint32 pid) const override { return real.needsPolling(pid); }
    void lookAgain() override { real.lookAgain(); }
    void requestClose(qint32 pid) override {
        closeRequests.append(pid);
        real.requestClose(pid);
    }
    void forceClose(qint32 pid) override { real.forceClose(pid); }
    void setStopTimeout(qint64 ms) override { real.setStopTimeout(ms); }
    int closesPending() const override { return real.closesPending(); }
    void finishCloses() override { real.finishCloses(); }
    int leftoverCount(qint32 pid) override { return real.leftoverCount(pid); }

    PosixProcessControl real;
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

} // namespace testsupport

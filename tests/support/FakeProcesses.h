#pragma once

#include "base/RuntimeError.h"
#include "platform/ProcessControl.h"

#include <QHash>
#include <QSet>
#include <QStringList>
#include <csignal>
#include <functional>

namespace testsupport {

// Processes that are entries only: each launch gets the next number and runs until the test ends
// it. A command that begins with "!" cannot be found; an empty one gets no identifier.
class FakeProcesses final : public ProcessControl {
  public:
    qint32 launch(const QString& command, int showValue) override {
        if (command.isEmpty())
            return 0;
        if (command.startsWith(QLatin1Char('!')))
            throw RuntimeError(QStringLiteral("No such file or directory"));
        if (failures > 0 && failures-- > 0)
            throw RuntimeError(QStringLiteral("Resource temporarily unavailable"));
        launched.append(command);
        showValues.append(showValue);
        running.insert(++lastPid);
        if (afterLaunch)
            afterLaunch(lastPid);
        return lastPid;
    }
    ProcessStatus status(qint32 pid) override {
        if (running.contains(pid))
            return ProcessStatus::running();
        return ends.contains(pid) ? ProcessStatus::ended(ends.value(pid))
                                  : ProcessStatus::endedUnknown();
    }
    void requestClose(qint32 pid) override {
        closeRequests.append(pid);
        if (!ignoreClose)
            end(pid, SIGTERM);
    }
    void forceClose(qint32 pid) override { end(pid, SIGKILL); }
    // Ends the process as waitpid would report it (an exit status N is N << 8).
    void end(qint32 pid, int waitStatus = 0) {
        running.remove(pid);
        ends.insert(pid, waitStatus);
    }

    QStringList launched; // the commands, in order
    QList<int> showValues;
    QSet<qint32> running;
    QHash<qint32, int> ends; // wait statuses of the ended ones
    qint32 lastPid = 100;
    int failures = 0; // the next launches that fail as a passing shortage would
    std::function<void(qint32)> afterLaunch; // may end the fresh process at once
    QList<qint32> closeRequests;
    bool ignoreClose = false; // a hung task: only forceClose ends it
};

} // namespace testsupport

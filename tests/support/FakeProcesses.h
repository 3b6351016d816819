#pragma once

#include "ProcessControl.h"
#include "RuntimeError.h"

#include <QSet>
#include <QStringList>
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
        launched.append(command);
        showValues.append(showValue);
        running.insert(++lastPid);
        if (afterLaunch)
            afterLaunch(lastPid);
        return lastPid;
    }
    qint32 status(qint32 pid) override { return running.contains(pid) ? WAIT_TIMEOUT : 0; }
    void requestClose(qint32 pid) override { running.remove(pid); }
    void end(qint32 pid) { running.remove(pid); }

    QStringList launched; // the commands, in order
    QList<int> showValues;
    QSet<qint32> running;
    qint32 lastPid = 100;
    std::function<void(qint32)> afterLaunch; // may end the fresh process at once
};

} // namespace testsupport

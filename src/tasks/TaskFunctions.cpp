#include "TaskFunctions.h"

#include "Log.h"
#include "ProcessControl.h"
#include "RuntimeError.h"
#include "SignalTarget.h"

#include <algorithm>

TaskFunctions::TaskFunctions(TaskTable& tasks, TaskList& upList, TaskList& downList, Log& log,
                             ProcessControl& processes, SignalTarget& signals, Clock& clock,
                             QObject* parent)
    : QObject(parent), tasks_(tasks), up_(upList), down_(downList), log_(log),
      processes_(processes), signals_(signals), clock_(clock), restartLimit_(clock) {}

void TaskFunctions::StartTask(QString& name, const QString& command, qint16& windowMode,
                              bool autoRestart) {
    try {
        if (windowMode != 2 && windowMode != 3)
            windowMode = 4;
        if (name.isEmpty())
            name = FileNameOf(command);
        // A full table is refused before launching, so no program runs without a record.
        if (tasks_.TaskCount == TaskTable::maxTasks)
            throw RuntimeError(QStringLiteral("Overflow"));
        const std::optional<Adopted> adopted = adoption ? adoption(name, command) : std::nullopt;
        if (!adopted)
            Q_EMIT aboutToLaunch(tasks_.TaskCount + 1, name, command);
        const qint32 processId = adopted ? adopted->pid : processes_.launch(command, windowMode);
        if (processId == 0 && !adopted) {
            ++startFailures_;
            log_.WriteLog(QStringLiteral("ERROR: Unable to start ") + name + QStringLiteral(" (") +
                          command + QLatin1Char(')'));
            return;
        }
        TaskRecord& task = tasks_.add();
        const int n = tasks_.TaskCount;
        task.IsUp = true;
        task.PathAndFile = command;
        task.ProcessId = processId;
        task.TaskName = name;
        task.TaskId = n;
        task.AutoRestart = autoRestart;
        task.processStartedMs =
            adopted ? adopted->startedMs : clock_.wallTime().toMSecsSinceEpoch();
        up_.insertTop(name, n);
        // One whose process ended unwatched has no line here: the next sweep finds it ended (its
        // number is 0, never signalled) and takes it through the failure path.
        if (!adopted || processId != 0)
            log_.WriteLog((adopted ? QStringLiteral("ADOPT: ") : QStringLiteral("START: ")) + name +
                          QStringLiteral(" (") + command + QLatin1Char(')'));
        Q_EMIT launched();
    } catch (const RuntimeError& error) {
        // The description alone would not say which of the configured tasks is missing.
        ++startFailures_;
        log_.WriteLog(QStringLiteral("ERROR: Unable to start ") + name + QStringLiteral(" (") +
                      command + QStringLiteral("): ") + error.description());
    }
}

QString TaskFunctions::FileNameOf(const QString& command) {
    // Either separator ends a directory name: commands may come from either kind of system.
    const qsizetype last =
        std::max(command.lastIndexOf(QLatin1Char('\\')), command.lastIndexOf(QLatin1Char('/')));
    return command.mid(last + 1);
}

ProcessStatus TaskFunctions::IsTaskProcessAlive(qint32 processId) {
    return processes_.status(processId);
}

void TaskFunctions::sweep() {
    const int bound = tasks_.upperBound();
    for (int p = 1; p <= bound; ++p) {
        if (!tasks_[p].IsUp)
            continue;
        const ProcessStatus status = IsTaskProcessAlive(tasks_[p].ProcessId);
        if (status.hasEnded()) {
            tasks_[p].lastExit = status;
            HandleTaskFailure(p);
        }
    }
    sweepClosing();
    if (allUpPending_ && clock_.now() - restartedAt_ >= settleMs)
        confirmAllUp();
}

void TaskFunctions::sweepClosing() {
    const int bound = tasks_.upperBound();
    for (int p = 1; p <= bound; ++p) {
        TaskRecord& task = tasks_[p];
        if (task.closingProcessId == 0)
            continue;
        const ProcessStatus status = IsTaskProcessAlive(task.closingProcessId);
        if (status.isRunning())
            continue;
        // A stopped task's end is what was asked for: recorded, never a failure.
        task.lastExit = status;
        task.closingProcessId = 0;
        if (task.startWhenClosed) {
            task.startWhenClosed = false;
            RestartTask(p);
        }
    }
}

bool TaskFunctions::needsTick() const {
    if (allUpPending_)
        return true;
    // Newest first: a task just launched is the usual reason, and ends the walk at once.
    for (int p = tasks_.upperBound(); p >= 1; --p) {
        if (tasks_[p].IsUp && processes_.needsPolling(tasks_[p].ProcessId))
            return true;
        if (tasks_[p].closingProcessId != 0 && processes_.needsPolling(tasks_[p].closingProcessId))
            return true;
    }
    return false;
}

bool TaskFunctions::everyTaskUp() {
    // A task that is down counts as down even if its old number now belongs to another process;
    // a task found gone keeps IsUp, so that the next sweep reports it through the failure path.
    const int bound = tasks_.upperBound();
    for (int q = 1; q <= bound; ++q) {
        if (!tasks_[q].IsUp || tasks_[q].health.unhealthy ||
            IsTaskProcessAlive(tasks_[q].ProcessId).hasEnded())
            return false;
    }
    return true;
}

void TaskFunctions::confirmAllUp() {
    allUpPending_ = false;
    try {
        if (everyTaskUp())
            SignalAllUp();
    } catch (const RuntimeError& error) {
        log_.WriteLog(error.description());
    }
}

void TaskFunctions::HandleTaskFailure(int p) {
    if (p < 1 || p > tasks_.upperBound())
        return;
    // IsUp goes first: the alert lets events run, and a tick then must not take this task again.
    tasks_[p].IsUp = false;
    disarmHealth(p);
    ++tasks_[p].failureCount;
    const TaskRecord task = tasks_[p];
    down_.insertTop(task.TaskName, task.TaskId);
    log_.WriteLog(QStringLiteral("TASK FAILURE: ") + task.TaskName + QStringLiteral(" (") +
                  task.PathAndFile + QLatin1Char(')'));
    log_.WriteLog(QStringLiteral("EXIT STATUS: ") + task.TaskName + QStringLiteral(": ") +
                  task.lastExit.value_or(ProcessStatus::endedUnknown()).exitText());
    up_.removeTask(p);
    Q_EMIT taskEnded();
    SignalFailure();
    // A task that keeps failing (or daemonizes, which looks the same) is left down, signalled,
    // until the operator restarts it. Decided before the alert, which then says so.
    const bool restarts = tasks_[p].AutoRestart && !signals_.closing();
    const bool limited = restarts && !restartLimit_.allowRestart(p);
    if (limited)
        tasks_[p].restartLimited = true;
    signals_.SendFailureAlert(p);
    // A Restart pressed while events ran has already brought the task back, and a second launch
    // would leave one copy running unsupervised.
    if (!restarts || tasks_[p].IsUp || tasks_[p].stopped || signals_.closing())
        return;
    if (!limited) {
        restart(p);
        return;
    }
    log_.WriteLog(QStringLiteral("RESTART LIMIT: ") + task.TaskName + QStringLiteral(" (") +
                  task.PathAndFile + QLatin1Char(')'));
}

void TaskFunctions::configureRestartLimit(const QString& value) {
    const QString problem = restartLimit_.configure(value);
    if (!problem.isEmpty())
        log_.WriteLog(problem);
}

void TaskFunctions::RestartTask(int p) {
    if (p >= 1 && p <= tasks_.upperBound() && !signals_.closing()) {
        tasks_[p].restartLimited = false;
        restartLimit_.clear(p);
        // A second copy must not run beside the one still closing.
        if (tasks_[p].closingProcessId != 0) {
            tasks_[p].startWhenClosed = true;
            return;
        }
    }
    restart(p);
}

void TaskFunctions::StopTask(int p, const QString& who) {
    if (p < 1 || p > tasks_.upperBound() || signals_.closing())
        return;
    TaskRecord& task = tasks_[p];
    task.stopped = true;
    task.stoppedBy = who;
    task.startWhenClosed = false;
    if (!task.IsUp)
        return; // already down: it only stays so
    task.IsUp = false;
    task.closingProcessId = task.ProcessId;
    up_.removeTask(p);
    down_.insertTop(task.TaskName, task.TaskId);
    log_.WriteLog(QStringLiteral("STOP: ") + task.TaskName + QStringLiteral(" (") +
                  task.PathAndFile + QLatin1Char(')'));
    // The port says every configured task is up, which is no longer so. The tray does not flash:
    // nothing failed.
    allUpPending_ = false;
    signals_.closeStatusListener();
    processes_.requestClose(task.closingProcessId);
    Q_EMIT launched(); // the tick may be needed to see the close
}

void TaskFunctions::restart(int p) {
    if (signals_.closing() || p < 1 || p > tasks_.upperBound())
        return;
    try {
        const QString command = tasks_[p].PathAndFile;
        Q_EMIT aboutToLaunch(p, tasks_[p].TaskName, command);
        const qint32 processId = processes_.launch(command, 4);
        if (processId != 0) {
            tasks_[p].IsUp = true;
            tasks_[p].stopped = false;
            tasks_[p].stoppedBy.clear();
            tasks_[p].ProcessId = processId;
            tasks_[p].processStartedMs = clock_.wallTime().toMSecsSinceEpoch();
            ++tasks_[p].restartCount;
            // A stale details window may restart a task that is up again: list it once.
            up_.removeTask(p);
            up_.insertTop(tasks_[p].TaskName, p);
            down_.removeTask(p);
            armHealth(p);
            // Before the log line: whoever records the running processes does so first.
            Q_EMIT launched();
            log_.WriteLog(QStringLiteral("RE-START: '") + command + QLatin1Char('\''));
        } else {
            log_.WriteLog(QStringLiteral("ERROR: Unable to restart '") + command +
                          QLatin1Char('\''));
        }
        // A process launched a moment ago has not shown that it stays up: a task that ends at
        // once would otherwise open the status port between its restarts. The all-clear waits
        // for a sweep one tick interval later, which also finds such a task gone.
        if (everyTaskUp()) {
            if (processId != 0) {
                allUpPending_ = true;
                restartedAt_ = clock_.now();
            } else {
                SignalAllUp();
            }
        }
    } catch (const RuntimeError& error) {
        log_.WriteLog(error.description());
    }
}

void TaskFunctions::SignalFailure() {
    signals_.NotifyON();
    signals_.closeStatusListener();
}

void TaskFunctions::SignalAllUp() {
    signals_.NotifyOFF();
    if (startFailures_ == 0 && !anyUnhealthy())
        signals_.openStatusListener();
}

void TaskFunctions::setHealthCheck(int p, const HealthCheckSpec& spec) {
    if (p < 1 || p > tasks_.upperBound())
        return;
    Health& health = health_[p];
    health.check = std::make_unique<HealthCheck>(spec, clock_);
    health.kill = std::make_unique<ClockTimer>(clock_);
    health.kill->setSingleShot(true);
    tasks_[p].health = health.check->state();
    connect(health.check.get(), &HealthCheck::checked, this,
            [this, p] { tasks_[p].health = health_[p].check->state(); });
    connect(health.check.get(), &HealthCheck::unhealthy, this,
            [this, p](const QString& reason) { healthFailed(p, reason); });
    connect(health.kill.get(), &ClockTimer::timeout, this, [this, p] {
        if (tasks_[p].IsUp)
            processes_.forceClose(tasks_[p].ProcessId);
    });
    if (tasks_[p].IsUp)
        armHealth(p);
}

const HealthCheck* TaskFunctions::healthCheck(int p) const {
    const auto it = health_.find(p);
    return it == health_.end() ? nullptr : it->second.check.get();
}

void TaskFunctions::armHealth(int p) {
    const auto it = health_.find(p);
    if (it == health_.end())
        return;
    it->second.kill->stop();
    it->second.check->arm();
    tasks_[p].health = it->second.check->state();
}

void TaskFunctions::disarmHealth(int p) {
    const auto it = health_.find(p);
    if (it == health_.end())
        return;
    it->second.kill->stop();
    it->second.check->disarm();
}

void TaskFunctions::healthFailed(int p, const QString& reason) {
    if (signals_.closing() || !tasks_[p].IsUp)
        return;
    Health& health = health_[p];
    health.check->disarm();
    log_.WriteLog(QStringLiteral("HEALTH CHECK FAILED: ") + tasks_[p].TaskName +
                  QStringLiteral(" (") + reason + QLatin1Char(')'));
    // Down from now on for the status port; its end then takes the failure path like any other.
    SignalFailure();
    processes_.requestClose(tasks_[p].ProcessId);
    // A hung task never acts on the request: it is killed when the stop time is up.
    health.kill->start(
        static_cast<int>(stopTimeoutMs_ > 0 ? stopTimeoutMs_ : health.check->spec().timeoutMs));
}

bool TaskFunctions::anyUnhealthy() const {
    // An unhealthy task counts as down until its process has ended and it has been launched again.
    return std::any_of(health_.begin(), health_.end(),
                       [this](const auto& h) { return tasks_[h.first].health.unhealthy; });
}

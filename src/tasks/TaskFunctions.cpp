#include "tasks/TaskFunctions.h"

#include "base/RuntimeError.h"
#include "base/SystemText.h"
#include "log/Guarded.h"
#include "log/Log.h"
#include "log/SettingUnusable.h"
#include "platform/OutputFile.h"
#include "platform/PosixLaunch.h"
#include "platform/ProcessControl.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QScopeGuard>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

TaskFunctions::TaskFunctions(TaskTable& tasks, TaskList& upList, TaskList& downList, Log& log,
                             ProcessControl& processes, Clock& clock, QObject* parent)
    : QObject(parent), tasks_(tasks), up_(upList), down_(downList), log_(log),
      processes_(processes), clock_(clock), restartLimit_(clock), restartTimer_(clock),
      rotationTimer_(clock) {
    restartTimer_.setSingleShot(true);
    rotationTimer_.setInterval(60 * 1000);
    connect(&rotationTimer_, &ClockTimer::timeout, this, &TaskFunctions::rotateOutputs);
    connect(&restartTimer_, &ClockTimer::timeout, this, &TaskFunctions::restartDue);
    sliceTimer_.setSingleShot(true);
    sliceTimer_.setInterval(0);
    // A timer's handler is an event handler: nothing thrown may leave it.
    connect(&sliceTimer_, &QTimer::timeout, this, [this] {
        if (sweepNext_ != 0 && !closing_)
            guarded(log_, [this] { sweepFrom(sweepNext_, true); });
    });
}

void TaskFunctions::beginShutdown() {
    closing_ = true;
    sweepNext_ = 0;
    sliceTimer_.stop();
}

void TaskFunctions::StartTask(QString& name, const QString& command, qint16& windowMode,
                              bool autoRestart, const QStringList& optionFields) {
    // A stop signal that came while the configuration was read: nothing more starts.
    if (closing_)
        return;
    try {
        if (windowMode != 2 && windowMode != 3)
            windowMode = 4;
        if (name.isEmpty())
            name = FileNameOf(command);
        TaskOptions options;
        const QString problem = TaskOptions::parse(optionFields, options);
        if (!problem.isEmpty())
            throw RuntimeError(problem);
        const std::optional<HealthCheckSpec> check = healthCheckOf(options);
        // A full table is refused before launching, so no program runs without a record.
        if (tasks_.TaskCount == TaskTable::maxTasks)
            throw RuntimeError(QStringLiteral("Overflow"));
        const std::optional<Adopted> adopted = adoption ? adoption(name, command) : std::nullopt;
        TaskRecord draft;
        draft.TaskName = name;
        draft.outputPath = outputPathFor(name, tasks_.TaskCount + 1, options);
        qint32 processId = 0;
        if (adopted) {
            processId = adopted->pid;
        } else {
            Q_EMIT aboutToLaunch(tasks_.TaskCount + 1, name, command);
            processId = launchTask(command, options, windowMode, draft);
        }
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
        if (!options.restartLimit.isEmpty())
            restartLimit_.setTaskLimit(n, options.restartLimit);
        task.options = std::move(options);
        task.outputPath = draft.outputPath;
        if (!task.outputPath.isEmpty())
            outputPaths_.insert(task.outputPath);
        task.processStartedMs =
            adopted ? adopted->startedMs : clock_.wallTime().toMSecsSinceEpoch();
        task.launchedAt = clock_.now();
        taskOfProcess_.insert(processId, n);
        if (check)
            setHealthCheck(n, *check);
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

qint32 TaskFunctions::launchTask(const QString& command, const TaskOptions& options, int showValue,
                                 TaskRecord& task) {
    LaunchSpec request;
    request.command = command;
    request.showValue = showValue;
    request.user = options.user;
    request.dir = options.dir;
    request.envFile = options.envFile;
    request.umask = options.umask;
    if (options.stopSignal != 0)
        request.stopSignal = options.stopSignal;
    request.outputFd = openOutput(task);
    // The task has its own copy of the output file once launched; ours goes either way.
    const auto closeOutput = qScopeGuard([&request] {
        if (request.outputFd >= 0)
            ::close(request.outputFd);
    });
    return processes_.launchWith(request);
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
    sweepFrom(1, false);
}

void TaskFunctions::sweepInSlices() {
    if (sweepNext_ == 0)
        sweepFrom(1, true);
}

void TaskFunctions::sweepFrom(int first, bool sliced) {
    // Whatever stops this pass, a full one or an error, leaves no slice behind to repeat it.
    sweepNext_ = 0;
    sliceTimer_.stop();
    QElapsedTimer slice;
    slice.start();
    const int bound = tasks_.upperBound();
    for (int p = first; p <= bound; ++p) {
        if (!tasks_[p].IsUp)
            continue;
        const ProcessStatus status = IsTaskProcessAlive(tasks_[p].ProcessId);
        if (!status.hasEnded())
            continue;
        tasks_[p].lastExit = status;
        HandleTaskFailure(p);
        // Tasks not reached yet that have ended keep IsUp with an ended process: every all-up
        // check counts them down, and the tick keeps running for them.
        if (sliced && p < bound && !closing_ && slice.elapsed() >= sliceMs_) {
            sweepNext_ = p + 1;
            sliceTimer_.start();
            return;
        }
    }
    sweepClosing();
    // A restarted process must have run for one tick before the all-clear is given.
    if (allUpPending_ && clock_.now() - restartedAt_ >= supervisionTickMs)
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

void TaskFunctions::handleEnd(qint32 processId) {
    const int p = taskOfProcess_.value(processId, 0);
    if (p >= 1 && p <= tasks_.upperBound() && tasks_[p].IsUp && tasks_[p].ProcessId == processId) {
        const ProcessStatus status = IsTaskProcessAlive(processId);
        if (status.hasEnded()) {
            tasks_[p].lastExit = status;
            HandleTaskFailure(p);
        }
    } else if (p >= 1 && p <= tasks_.upperBound() && tasks_[p].closingProcessId == processId) {
        sweepClosing();
    }
    if (allUpPending_ && clock_.now() - restartedAt_ >= supervisionTickMs)
        confirmAllUp();
}

bool TaskFunctions::needsTick() const {
    if (allUpPending_ || sweepNext_ != 0)
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
    // The walk starts where it last found a task down and wraps around: in a burst of failures
    // each check is answered at once, and the whole table is walked only when all look up.
    const int bound = tasks_.upperBound();
    if (firstDownHint_ < 1 || firstDownHint_ > bound)
        firstDownHint_ = 1;
    for (int i = 0; i < bound; ++i) {
        const int q = (firstDownHint_ - 1 + i) % bound + 1;
        if (!tasks_[q].IsUp || tasks_[q].health.unhealthy ||
            IsTaskProcessAlive(tasks_[q].ProcessId).hasEnded()) {
            firstDownHint_ = q;
            return false;
        }
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
    // A task that daemonized or left children behind: its session outlives its process.
    if (const int left = processes_.leftoverCount(task.ProcessId); left > 0)
        log_.WriteLog(QStringLiteral("LEFTOVER: ") + task.TaskName + QStringLiteral(": ") +
                      QString::number(left) +
                      QStringLiteral(" processes still running in its session"));
    up_.removeTask(p);
    Q_EMIT taskEnded(p);
    // A task that keeps failing (or daemonizes, which looks the same) is left down, signalled,
    // until the operator restarts it. Decided before the alert, which then says so.
    const bool restarts = tasks_[p].AutoRestart && !closing_;
    const bool limited = restarts && !restartLimit_.allowRestart(p);
    if (limited)
        tasks_[p].restartLimited = true;
    Q_EMIT taskFailed(p);
    // A Restart pressed while events ran has already brought the task back, and a second launch
    // would leave one copy running unsupervised.
    if (!restarts || tasks_[p].IsUp || tasks_[p].stopped || closing_)
        return;
    if (!limited) {
        scheduleRestart(p);
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

void TaskFunctions::configureOutput(const QString& dir, const QString& maxBytes,
                                    const QString& backups) {
    const auto refuse = [this](const char* key, const QString& value, const QString& reason,
                               const char* then) {
        log_.WriteLog(settingUnusable(QLatin1String(key), value, reason, QLatin1String(then)));
    };
    outputDir_.clear();
    if (!dir.trimmed().isEmpty()) {
        const QFileInfo info(dir.trimmed());
        if (!info.exists() && !QDir().mkpath(info.filePath()))
            refuse("OUTPUT_DIR", dir, QStringLiteral("cannot be created"),
                   "tasks write where the monitor writes");
        else if (!QFileInfo(info.filePath()).isDir())
            refuse("OUTPUT_DIR", dir, QStringLiteral("not a directory"),
                   "tasks write where the monitor writes");
        else if (::access(QFile::encodeName(info.filePath()).constData(), W_OK | X_OK) != 0)
            refuse("OUTPUT_DIR", dir, systemErrorText(errno),
                   "tasks write where the monitor writes");
        else
            outputDir_ = info.absoluteFilePath();
    }
    bool ok = true;
    if (!maxBytes.trimmed().isEmpty()) {
        const qint64 value = maxBytes.trimmed().toLongLong(&ok);
        if (ok && value >= 1024)
            outputMaxBytes_ = value;
        else
            refuse("OUTPUT_MAX_BYTES", maxBytes,
                   QStringLiteral("expected a number of bytes, 1024 "
                                  "or more"),
                   "10485760 it is");
    }
    if (!backups.trimmed().isEmpty()) {
        const int value = backups.trimmed().toInt(&ok);
        if (ok && value >= 0 && value <= 1000)
            outputBackups_ = value;
        else
            refuse("OUTPUT_BACKUPS", backups, QStringLiteral("expected a number from 0 to 1000"),
                   "5 it is");
    }
}

QString TaskFunctions::outputPathFor(const QString& name, int id, const TaskOptions& options) {
    if (!options.output.isEmpty())
        return QFileInfo(options.output).absoluteFilePath();
    if (outputDir_.isEmpty())
        return {};
    // Only characters that are safe in any file name; a name can neither climb out of the
    // directory nor hide as a dot file.
    QString safe;
    for (const QChar c : name)
        safe += c.isLetterOrNumber() || c == QLatin1Char('-') || c == QLatin1Char('_') ||
                        (c == QLatin1Char('.') && !safe.isEmpty())
                    ? c
                    : QLatin1Char('_');
    if (safe.isEmpty())
        safe = QStringLiteral("task");
    QString path = outputDir_ + QLatin1Char('/') + safe + QStringLiteral(".log");
    if (outputPaths_.contains(path))
        path = outputDir_ + QLatin1Char('/') + safe + QLatin1Char('.') + QString::number(id) +
               QStringLiteral(".log");
    return path;
}

int TaskFunctions::openOutput(TaskRecord& task) {
    if (task.outputPath.isEmpty())
        return -1;
    const QString problem =
        rotateOutputFile(task.outputPath, outputMaxBytes_, outputBackups_, false);
    if (!problem.isEmpty() && !rotationFailed_.contains(task.outputPath)) {
        rotationFailed_.insert(task.outputPath);
        log_.WriteLog(QStringLiteral("OUTPUT: rotation of ") + task.outputPath +
                      QStringLiteral(" skipped: ") + problem);
    } else if (problem.isEmpty()) {
        rotationFailed_.remove(task.outputPath);
    }
    if (!rotationTimer_.isActive())
        rotationTimer_.start();
    QString reason;
    const int fd = openOutputFile(task.outputPath, &reason);
    if (fd >= 0)
        return fd;
    log_.WriteLog(QStringLiteral("OUTPUT: ") + task.TaskName + QStringLiteral(": cannot open ") +
                  task.outputPath + QStringLiteral(": ") + reason +
                  QStringLiteral("; its output goes to /dev/null"));
    return ::open("/dev/null", O_WRONLY | O_CLOEXEC);
}

void TaskFunctions::rotateOutputs() {
    const int bound = tasks_.upperBound();
    for (int p = 1; p <= bound; ++p) {
        const QString& path = tasks_[p].outputPath;
        if (path.isEmpty())
            continue;
        const QString problem =
            rotateOutputFile(path, outputMaxBytes_, outputBackups_, tasks_[p].IsUp);
        if (problem.isEmpty()) {
            rotationFailed_.remove(path);
        } else if (!rotationFailed_.contains(path)) {
            rotationFailed_.insert(path);
            log_.WriteLog(QStringLiteral("OUTPUT: rotation of ") + path +
                          QStringLiteral(" skipped: ") + problem);
        }
    }
}

void TaskFunctions::configureRestartDelay(const QString& value) {
    restartDelay_.reset();
    if (value.trimmed().isEmpty())
        return;
    RestartDelay delay;
    const QString problem = RestartDelay::parse(value, delay);
    if (problem.isEmpty())
        restartDelay_ = delay;
    else
        log_.WriteLog(settingUnusable(QStringLiteral("RESTART_DELAY"), value, problem,
                                      QStringLiteral("restarts are immediate")));
}

QString TaskFunctions::restartWaitText(int p) const {
    if (p < 1 || p > tasks_.upperBound())
        return {};
    return restartWaitText(tasks_[p], clock_.wallTime().toMSecsSinceEpoch());
}

QString TaskFunctions::restartWaitText(const TaskRecord& task, qint64 nowMs) {
    if (task.restartDueMs == 0)
        return {};
    const qint64 left = std::max<qint64>(0, task.restartDueMs - nowMs);
    return QStringLiteral("restarting in %1 s").arg(double(left) / 1000, 0, 'f', 1);
}

void TaskFunctions::scheduleRestart(int p) {
    TaskRecord& task = tasks_[p];
    const std::optional<RestartDelay> delay =
        task.options.restartDelay ? task.options.restartDelay : restartDelay_;
    if (!delay) {
        // Without a delay a launch that fails is tried again once a second, so that a passing
        // shortage never leaves the task down for good.
        if (task.launchRetrying)
            restartAfter(p, 1000);
        else
            restart(p);
        return;
    }
    // A task that stayed up for the longest delay has earned the shortest one again.
    qint64 wait = task.nextDelayMs;
    if (wait == 0 || clock_.now() - task.launchedAt >= delay->maxMs)
        wait = delay->minMs;
    task.nextDelayMs = std::min(wait * 2, delay->maxMs);
    restartAfter(p, wait);
}

void TaskFunctions::restartAfter(int p, qint64 waitMs) {
    const qint64 due = clock_.now() + waitMs;
    tasks_[p].restartDueMs = clock_.wallTime().toMSecsSinceEpoch() + waitMs;
    dueOf_.insert(p, due);
    waiting_.emplace(due, p);
    if (waiting_.begin()->first == due)
        restartTimer_.start(static_cast<int>(waitMs));
}

void TaskFunctions::restartDue() {
    const qint64 now = clock_.now();
    std::vector<int> due;
    while (!waiting_.empty() && waiting_.begin()->first <= now) {
        const auto [at, p] = *waiting_.begin();
        waiting_.erase(waiting_.begin());
        // A manual restart meanwhile, or a newer wait, has replaced this one.
        if (dueOf_.value(p, -1) == at) {
            dueOf_.remove(p);
            due.push_back(p);
        }
    }
    if (!waiting_.empty())
        restartTimer_.start(static_cast<int>(std::max<qint64>(0, waiting_.begin()->first - now)));
    for (const int p : due) {
        tasks_[p].restartDueMs = 0;
        if (!tasks_[p].IsUp)
            restart(p);
    }
}

void TaskFunctions::RestartTask(int p) {
    if (p >= 1 && p <= tasks_.upperBound() && !closing_) {
        tasks_[p].restartLimited = false;
        restartLimit_.clear(p);
        tasks_[p].restartDueMs = 0;
        tasks_[p].nextDelayMs = 0;
        dueOf_.remove(p);
        // A second copy must not run beside the one still closing.
        if (tasks_[p].closingProcessId != 0) {
            tasks_[p].startWhenClosed = true;
            return;
        }
    }
    restart(p, false);
}

void TaskFunctions::StopTask(int p, const QString& who) {
    if (p < 1 || p > tasks_.upperBound() || closing_)
        return;
    TaskRecord& task = tasks_[p];
    task.stopped = true;
    task.stoppedBy = who;
    task.startWhenClosed = false;
    // A restart waiting for its delay or retrying a launch is called off.
    task.restartDueMs = 0;
    task.nextDelayMs = 0;
    task.launchRetrying = false;
    dueOf_.remove(p);
    if (!task.IsUp)
        return; // already down: it only stays so
    task.IsUp = false;
    task.closingProcessId = task.ProcessId;
    disarmHealth(p);
    up_.removeTask(p);
    down_.insertTop(task.TaskName, task.TaskId);
    log_.WriteLog(QStringLiteral("STOP: ") + task.TaskName + QStringLiteral(" (") +
                  task.PathAndFile + QLatin1Char(')'));
    // The port says every configured task is up, which is no longer so. The tray does not flash:
    // nothing failed.
    allUpPending_ = false;
    Q_EMIT taskStopped(p);
    processes_.requestClose(task.closingProcessId);
    Q_EMIT taskEnded(p);
    Q_EMIT launched(); // the tick may be needed to see the close
}

void TaskFunctions::restart(int p, bool automatic) {
    if (closing_ || p < 1 || p > tasks_.upperBound())
        return;
    const QString command = tasks_[p].PathAndFile;
    try {
        Q_EMIT aboutToLaunch(p, tasks_[p].TaskName, command);
        const qint32 processId = launchTask(command, tasks_[p].options, 4, tasks_[p]);
        if (processId != 0) {
            tasks_[p].IsUp = true;
            tasks_[p].launchRetrying = false;
            tasks_[p].stopped = false;
            tasks_[p].stoppedBy.clear();
            taskOfProcess_.remove(tasks_[p].ProcessId);
            taskOfProcess_.insert(processId, p);
            tasks_[p].ProcessId = processId;
            tasks_[p].launchedAt = clock_.now();
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
        TaskRecord& task = tasks_[p];
        // Said once per episode: a task tried again every second must not flood the log.
        if (!task.launchRetrying)
            log_.WriteLog(
                QStringLiteral("ERROR: Unable to restart '") + command + QStringLiteral("' (") +
                task.TaskName + QStringLiteral("): ") + error.description() +
                (automatic && task.AutoRestart ? QStringLiteral("; trying again until it starts")
                                               : QString()));
        if (automatic && task.AutoRestart && !task.IsUp) {
            task.launchRetrying = true;
            scheduleRestart(p);
        }
    }
}

void TaskFunctions::SignalAllUp() {
    Q_EMIT allUp(startFailures_ == 0 && !anyUnhealthy());
}

std::optional<HealthCheckSpec> TaskFunctions::healthCheckOf(const TaskOptions& options) {
    if (options.checks.isEmpty())
        return std::nullopt;
    QHash<QString, QString> given;
    for (const auto& [key, value] : options.checks)
        given.insert(key, value);
    QString problem;
    std::optional<HealthCheckSpec> definition = HealthCheckSpec::parse(given, &problem);
    if (!problem.isEmpty())
        throw RuntimeError(problem);
    // A probe program runs as the task's user: it sees what the task sees, no more.
    if (definition && !options.user.isEmpty()) {
        const Identity identity = lookUpIdentity(options.user);
        definition->runAs = HealthCheckSpec::RunAs{identity.uid, identity.gid, identity.groups};
    }
    return definition;
}

void TaskFunctions::setHealthCheck(int p, const HealthCheckSpec& definition) {
    if (p < 1 || p > tasks_.upperBound())
        return;
    Health& health = health_[p];
    health.check = std::make_unique<HealthCheck>(definition, clock_);
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
    if (closing_ || !tasks_[p].IsUp)
        return;
    Health& health = health_[p];
    health.check->disarm();
    log_.WriteLog(QStringLiteral("HEALTH CHECK FAILED: ") + tasks_[p].TaskName +
                  QStringLiteral(" (") + reason + QLatin1Char(')'));
    // Down from now on for the status port; its end then takes the failure path like any other.
    Q_EMIT taskUnhealthy(p);
    processes_.requestClose(tasks_[p].ProcessId);
    // A hung task never acts on the request: it is killed when the stop time is up.
    health.kill->start(static_cast<int>(stopTimeoutMs_ > 0 ? stopTimeoutMs_
                                                           : health.check->definition().timeoutMs));
}

bool TaskFunctions::anyUnhealthy() const {
    // An unhealthy task counts as down until its process has ended and it has been launched again.
    return std::any_of(health_.begin(), health_.end(),
                       [this](const auto& h) { return tasks_[h.first].health.unhealthy; });
}

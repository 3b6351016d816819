#include "core/Survival.h"

#include "base/RuntimeError.h"
#include "base/TaskCommand.h"
#include "log/Log.h"
#include "platform/Clock.h"
#include "platform/ProcessControl.h"
#include "platform/RuntimeDirectory.h"
#include "tasks/TaskTable.h"

#include <QFile>
#include <algorithm>
#include <unistd.h>

namespace {
// While start-up reads the INI file (which lets events run between lines) the file is rewritten
// at most this often, so a thousand launches are not a thousand writes; afterwards every change is
// written at the end of its event-loop turn, since a launch not yet written is a task the next
// monitor would not know.
constexpr qint64 startUpWriteGapMs = 100;
} // namespace

Survival::Survival(TaskTable& tasks, TaskFunctions& taskFunctions, ProcessControl& processes,
                   Log& log, const ProcReader& proc, QObject* parent)
    : QObject(parent), tasks_(tasks), taskFunctions_(taskFunctions), processes_(processes),
      log_(log), proc_(proc) {
    writeTimer_.setSingleShot(true);
    connect(&writeTimer_, &QTimer::timeout, this, &Survival::writeNow);
}

Survival::~Survival() = default;

bool Survival::begin(const QString& configuration, qint64* holderPid) {
    *holderPid = 0;
    QString error;
    const QString dir = RuntimeDirectory::locate(&error);
    if (dir.isEmpty()) {
        problem_ = QStringLiteral("runtime directory unusable (") + error + QLatin1Char(')');
        return true;
    }
    const QString base = dir + QLatin1Char('/') + RuntimeDirectory::baseName(configuration);
    switch (lock_.acquire(base + QStringLiteral(".lock"), holderPid, &error)) {
    case MonitorLock::Outcome::Taken:
        return false;
    case MonitorLock::Outcome::Failed:
        problem_ = QStringLiteral("lock file unusable (") + error + QLatin1Char(')');
        return true;
    case MonitorLock::Outcome::Held:
        break;
    }
    statePath_ = base + QStringLiteral(".state");
    return true;
}

void Survival::adoptFromPredecessor(bool startedOver) {
    if (!problem_.isEmpty()) {
        log_.WriteLog(QStringLiteral("WARNING: ") + problem_ +
                      QStringLiteral(": no adoption, no check for a second monitor"));
        return;
    }
    if (statePath_.isEmpty())
        return;
    bootId_ = proc_.bootId();
    monitorStart_ = proc_.startTime(static_cast<qint32>(::getpid())).value_or(0);
    QString problem;
    const auto record = StateFile::read(statePath_, &problem);
    if (record && record->bootId != bootId_)
        problem = QStringLiteral("written before the last boot");
    // Written by an earlier monitor of this very process that did not hand over (one that tests
    // create and drop in turn): nothing of it is a predecessor's.
    const bool ownEarlier = record && record->monitorPid == ::getpid() &&
                            record->monitorStart == monitorStart_ && !startedOver;
    if (!problem.isEmpty()) {
        log_.WriteLog(QStringLiteral("WARNING: state file ") + statePath_ +
                      QStringLiteral(" ignored: ") + problem);
    } else if (record && !ownEarlier) {
        for (const StateEntry& entry : record->tasks)
            recorded_[{entry.name, entry.command}].push_back(entry);
        for (const StateEntry& launching : record->launching) {
            if (const StateEntry found = launchedBy(launching, *record); found.pid != 0)
                recorded_[{found.name, found.command}].push_back(found);
        }
    }
    taskFunctions_.adoption = [this](const QString& name, const QString& command) {
        return claim(name, command);
    };
    // A launch not yet written is a task the next monitor would not know, and would start a
    // second time: after start-up each launch is written as under way before it happens (the
    // command and the moment, from which a successor finds the process), and with its process
    // by the end of the turn, or sooner by the next launch's own write: in a burst of restarts
    // one write a launch, not two. Ends can wait for the end of the turn too.
    connect(&taskFunctions_, &TaskFunctions::aboutToLaunch, this,
            [this](int p, const QString& name, const QString& command) {
                if (!startedUp_ || ended_)
                    return;
                launching_ = StateEntry{p, name, command, 0, proc_.ticksNow()};
                writeNow();
            });
    connect(&taskFunctions_, &TaskFunctions::launched, this, [this] {
        // Until the write, the file holds it as under way: what a successor needs to find it.
        launching_.reset();
        scheduleWrite();
    });
    connect(&taskFunctions_, &TaskFunctions::taskEnded, this, &Survival::scheduleWrite);
}

bool Survival::sameProcess(const StateEntry& entry) const {
    const auto start = proc_.startTime(entry.pid);
    if (!start || *start != entry.startTime)
        return false;
    QStringList expected;
    try {
        expected = splitTaskCommand(entry.command);
    } catch (const RuntimeError&) {
        return false;
    }
    const auto arguments = proc_.commandLine(entry.pid);
    return arguments && *arguments == expected;
}

StateEntry Survival::launchedBy(const StateEntry& launching, const StateRecord& record) const {
    StateEntry found = launching;
    found.pid = 0;
    QStringList expected;
    try {
        expected = splitTaskCommand(launching.command);
    } catch (const RuntimeError&) {
        return found;
    }
    // A tick of rounding either way between the two clocks.
    const quint64 after = launching.startTime > 0 ? launching.startTime - 1 : 0;
    for (const qint32 pid : proc_.processes()) {
        const auto start = proc_.startTime(pid);
        if (!start || *start < after || pid == static_cast<qint32>(::getpid()))
            continue;
        const bool recorded =
            std::any_of(record.tasks.begin(), record.tasks.end(),
                        [pid](const StateEntry& entry) { return entry.pid == pid; });
        if (recorded || proc_.commandLine(pid) != expected || !proc_.orphanedTask(pid))
            continue;
        if (found.pid != 0) {
            found.pid = 0; // two fit: neither is proven
            return found;
        }
        found.pid = pid;
        found.startTime = *start;
    }
    return found;
}

std::optional<TaskFunctions::Adopted> Survival::claim(const QString& name, const QString& command) {
    const auto it = recorded_.find({name, command});
    if (it == recorded_.end() || it->second.empty())
        return std::nullopt;
    const StateEntry entry = it->second.front();
    it->second.pop_front();
    TaskFunctions::Adopted adopted;
    if (processes_.adopt(entry.pid, [&] { return sameProcess(entry); })) {
        adopted.pid = entry.pid;
        adopted.startedMs = proc_.startedMs(entry.startTime);
        startTimes_.insert(entry.pid, entry.startTime);
    }
    return adopted;
}

void Survival::startUpEnded() {
    for (const auto& [key, entries] : recorded_) {
        for (const StateEntry& entry : entries) {
            if (sameProcess(entry))
                log_.WriteLog(QStringLiteral("ORPHAN: ") + entry.name + QStringLiteral(" (") +
                              entry.command +
                              QStringLiteral("): no longer configured, left running"));
        }
    }
    recorded_.clear();
    taskFunctions_.adoption = nullptr;
    startedUp_ = true;
    if (!statePath_.isEmpty())
        writeNow();
}

void Survival::scheduleWrite() {
    if (statePath_.isEmpty() || ended_ || writeTimer_.isActive())
        return;
    const qint64 since = Clock::system().now() - lastWriteMs_;
    writeTimer_.start(startedUp_ || writes_ == 0 || since >= startUpWriteGapMs
                          ? 0
                          : static_cast<int>(startUpWriteGapMs - since));
}

void Survival::writeNow() {
    writeTimer_.stop();
    std::vector<QByteArray> entries;
    QHash<qint32, quint64> written;
    const int bound = tasks_.upperBound();
    for (int p = 1; p <= bound; ++p) {
        const TaskRecord& task = tasks_[p];
        if (!task.IsUp || task.ProcessId <= 0)
            continue;
        quint64 start = 0;
        if (const auto known = startTimes_.constFind(task.ProcessId); known != startTimes_.cend()) {
            start = *known;
        } else {
            // Read first, then make sure the process still runs: a task of ours is not reaped
            // before its end is seen, so its number cannot have passed to another process while
            // it was read.
            const auto read = proc_.startTime(task.ProcessId);
            if (!read || !processes_.status(task.ProcessId).isRunning())
                continue;
            start = *read;
        }
        written.insert(task.ProcessId, start);
        auto cached = entries_.find(task.TaskId);
        if (cached == entries_.end() || cached->first != task.ProcessId)
            cached = entries_.insert(
                task.TaskId, {task.ProcessId,
                              StateFile::encodeEntry({task.TaskId, task.TaskName, task.PathAndFile,
                                                      task.ProcessId, start})});
        entries.push_back(cached->second);
    }
    // Recorded tasks that start-up has not reached yet stay known, should this monitor end first.
    for (const auto& [key, recorded] : recorded_)
        for (const StateEntry& entry : recorded)
            entries.push_back(StateFile::encodeEntry(entry));
    std::vector<QByteArray> launching;
    if (launching_)
        launching.push_back(StateFile::encodeEntry(*launching_));
    startTimes_ = written;
    QString error;
    lastWriteMs_ = Clock::system().now();
    ++writes_;
    if (StateFile::write(
            statePath_, StateFile::assemble(bootId_, ::getpid(), monitorStart_, entries, launching),
            &error)) {
        writeFailed_ = false;
    } else if (!writeFailed_) {
        writeFailed_ = true; // once until a write succeeds again
        log_.WriteLog(QStringLiteral("WARNING: state file ") + statePath_ +
                      QStringLiteral(" not written: ") + error);
    }
}

void Survival::shutDown(bool tasksAskedToClose) {
    if (statePath_.isEmpty() || ended_)
        return;
    bool anyRunning = false;
    const int bound = tasks_.upperBound();
    for (int p = 1; p <= bound && !anyRunning; ++p)
        anyRunning = tasks_[p].IsUp && processes_.status(tasks_[p].ProcessId).isRunning();
    if (tasksAskedToClose || !anyRunning)
        QFile::remove(statePath_);
    else
        writeNow();
    ended_ = true;
    writeTimer_.stop();
}

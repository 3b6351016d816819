#include "core/Survival.h"

#include "base/RuntimeError.h"
#include "base/SystemText.h"
#include "base/TaskCommand.h"
#include "log/Log.h"
#include "platform/Clock.h"
#include "platform/ProcessControl.h"
#include "platform/RuntimeDirectory.h"
#include "tasks/TaskTable.h"

#include <QFile>
#include <QRandomGenerator>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
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
    connect(&writeTimer_, &QTimer::timeout, this, &Survival::writeDue);
}

Survival::~Survival() {
    if (journalFd_ >= 0)
        ::close(journalFd_);
}

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
    QString problem, journalProblem;
    const auto record = StateFile::read(statePath_, &problem, &journalProblem);
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
        // What the snapshot holds is still proven process by process; without the journal's
        // changes a task restarted since is found ended, not started twice.
        if (!journalProblem.isEmpty())
            log_.WriteLog(QStringLiteral("WARNING: state file ") +
                          StateFile::journalPath(statePath_) + QStringLiteral(" ignored: ") +
                          journalProblem);
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
    // second time: after start-up each launch is written to the journal as under way before it
    // happens (the command and the moment, from which a successor finds the process), and with
    // its process at the end of the turn, or sooner with the next launch's own line: in a burst
    // of restarts one short append a launch. Ends can wait for the end of the turn too.
    connect(&taskFunctions_, &TaskFunctions::aboutToLaunch, this,
            [this](int p, const QString& name, const QString& command) {
                if (!startedUp_ || ended_ || statePath_.isEmpty())
                    return;
                if (launching_) // the last launch failed
                    pending_ += StateFile::journalDown(launching_->id);
                launching_ = StateEntry{p, name, command, 0, proc_.ticksNow()};
                pending_ += StateFile::journalLaunching(*launching_);
                writeChanges();
                scheduleWrite(); // the end of the turn settles a launch that failed
            });
    connect(&taskFunctions_, &TaskFunctions::launched, this, [this] {
        if (!startedUp_)
            return scheduleWrite();
        if (!launching_)
            return; // a stop: its end is noted already
        const qint32 p = launching_->id;
        const quint64 before = launching_->startTime, after = proc_.ticksNow();
        launching_.reset();
        const TaskRecord* task = p <= tasks_.upperBound() ? &tasks_[p] : nullptr;
        // The process started between the two readings of the clock: when both fall in one tick,
        // that tick is its start time, and /proc (dear with thousands of launches) is not read.
        std::optional<quint64> start;
        if (task && task->IsUp && task->ProcessId > 0)
            start = before == after ? after : proc_.startTime(task->ProcessId);
        if (!start) { // gone already: its end comes as any other
            noteChange(StateFile::journalDown(p));
            return;
        }
        startTimes_.insert(task->ProcessId, *start);
        noteChange(StateFile::journalUp(
            {task->TaskId, task->TaskName, task->PathAndFile, task->ProcessId, *start}));
    });
    connect(&taskFunctions_, &TaskFunctions::taskEnded, this, [this](int p) {
        if (startedUp_)
            noteChange(StateFile::journalDown(p));
        else
            scheduleWrite();
    });
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

void Survival::noteChange(const QByteArray& line) {
    if (ended_)
        return;
    pending_ += line;
    scheduleWrite();
}

void Survival::writeDue() {
    writeTimer_.stop();
    if (launching_ && startedUp_) { // launched would have settled it: the launch failed
        pending_ += StateFile::journalDown(launching_->id);
        launching_.reset();
    }
    writeChanges();
}

void Survival::writeChanges() {
    if (journalUsable())
        appendJournal();
    else
        writeNow();
}

bool Survival::writePending() {
    if (pending_.isEmpty())
        return true;
    const ssize_t n =
        ::write(journalFd_, pending_.constData(), static_cast<size_t>(pending_.size()));
    if (n != pending_.size()) {
        // A line cut short would hide every line after it: nothing more goes into this journal.
        giveUpJournal(systemErrorText(n < 0 ? errno : ENOSPC));
        return false;
    }
    journalBytes_ += n;
    pending_.clear();
    return true;
}

void Survival::appendJournal() {
    // Replaying the journal costs about what reading the snapshot does, and no more.
    if (!writePending() || journalBytes_ > std::max<qint64>(snapshotBytes_, 64 * 1024))
        writeNow();
}

bool Survival::openJournal() {
    if (journalFd_ >= 0)
        return true;
    // Without blocking: a FIFO in its place must not stop the monitor until someone reads it.
    journalFd_ = ::open(QFile::encodeName(StateFile::journalPath(statePath_)).constData(),
                        O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (journalFd_ < 0) {
        giveUpJournal(errno == ELOOP   ? QStringLiteral("a symbolic link")
                      : errno == ENXIO ? QStringLiteral("not a regular file")
                                       : systemErrorText(errno));
        return false;
    }
    struct stat info {};
    if (::fstat(journalFd_, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(journalFd_);
        journalFd_ = -1;
        giveUpJournal(QStringLiteral("not a regular file"));
        return false;
    }
    return true;
}

void Survival::startJournal(const QString& token) {
    const QByteArray header = StateFile::journalHeader(token);
    errno = 0;
    if (::ftruncate(journalFd_, 0) != 0 ||
        ::write(journalFd_, header.constData(), static_cast<size_t>(header.size())) !=
            header.size())
        return giveUpJournal(systemErrorText(errno != 0 ? errno : ENOSPC));
    journalBroken_ = false;
    journalBytes_ = header.size();
}

void Survival::giveUpJournal(const QString& reason) {
    // Said once until a journal starts again: meanwhile every change is a whole snapshot.
    if (!journalBroken_)
        log_.WriteLog(QStringLiteral("WARNING: state file ") + StateFile::journalPath(statePath_) +
                      QStringLiteral(" not written: ") + reason +
                      QStringLiteral("; the state file is rewritten at each change instead"));
    journalBroken_ = true;
}

void Survival::writeNow() {
    writeTimer_.stop();
    // The journal first: should the snapshot fail, the one on disk and its journal still agree.
    if (journalUsable())
        writePending();
    pending_.clear();
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
    // A fresh token: a journal left over from an earlier snapshot (a crash between the two
    // writes) is never applied to this one. None without a journal.
    const QString token =
        openJournal() ? QString::number(QRandomGenerator::system()->generate64(), 16) : QString();
    const QByteArray text =
        StateFile::assemble(bootId_, ::getpid(), monitorStart_, entries, launching, token);
    QString error;
    lastWriteMs_ = Clock::system().now();
    ++writes_;
    if (StateFile::write(statePath_, text, &error)) {
        writeFailed_ = false;
        snapshotBytes_ = text.size();
        if (!token.isEmpty())
            startJournal(token);
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
    if (tasksAskedToClose || !anyRunning) {
        QFile::remove(statePath_);
        QFile::remove(StateFile::journalPath(statePath_));
    } else
        writeNow();
    ended_ = true;
    writeTimer_.stop();
}

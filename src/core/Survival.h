#pragma once

#include "platform/MonitorLock.h"
#include "platform/ProcReader.h"
#include "tasks/StateFile.h"
#include "tasks/TaskFunctions.h"

#include <QHash>
#include <QObject>
#include <QTimer>
#include <deque>
#include <map>
#include <utility>

class Log;
class ProcessControl;
class TaskTable;

// How a monitor outlives itself: the lock that makes it the only monitor of its configuration,
// the state file it keeps for its successor, and the adoption of what its predecessor left
// running. A runtime directory that cannot be used costs the lock and adoption, never supervision.
class Survival final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Survival)

  public:
    Survival(TaskTable& tasks, TaskFunctions& taskFunctions, ProcessControl& processes, Log& log,
             const ProcReader& proc = ProcReader::system(), QObject* parent = nullptr);
    ~Survival() override;

    // Takes the lock. False when another monitor runs this configuration (holderPid gives its
    // number, 0 when unknown): nothing may start then, nothing is logged here.
    bool begin(const QString& configuration, qint64* holderPid);
    // Reads what the predecessor left and offers it to StartTask; a problem is one event.
    // startedOver: this process image replaced the monitor's own (its display went away), so a
    // file this very process wrote is its own to adopt from.
    void adoptFromPredecessor(bool startedOver = false);

    // StartTask's question (TaskFunctions::adoption): a recorded task of this name and command,
    // taken in recorded order among equals.
    std::optional<TaskFunctions::Adopted> claim(const QString& name, const QString& command);

    // Start-up has started every configured task: recorded tasks no longer configured that still
    // run are named once and left alone; the state is written.
    void startUpEnded();

    // Shutdown: the file goes when no task is left running (or all were asked to close);
    // otherwise it is brought up to date for the next monitor.
    void shutDown(bool tasksAskedToClose);

    // Writes a change still waiting for the end of its turn (before the process image is
    // replaced).
    void flush() {
        if (writeTimer_.isActive())
            writeDue();
    }

    // The state file's path; empty without a usable runtime directory.
    const QString& statePath() const { return statePath_; }
    // Whole state files written so far (benchmarks, tests); journal appends are not counted.
    quint64 writeCount() const { return writes_; }

  private:
    bool sameProcess(const StateEntry& entry) const;
    // The process a launch under way became, when exactly one fits; pid 0 otherwise.
    StateEntry launchedBy(const StateEntry& launching, const StateRecord& record) const;
    void scheduleWrite();
    // The end of a turn with changes: into the journal once start-up has ended, else a snapshot.
    void writeDue();
    // What is pending, into the journal when it can take it, else as a whole snapshot.
    void writeChanges();
    // A snapshot of every running task, which starts a new journal.
    void writeNow();
    // After start-up: a change for the journal, written at the end of the turn.
    void noteChange(const QByteArray& line);
    // Appends what is pending in one write; false when the journal could not take all of it,
    // which gives the journal up for snapshots.
    bool writePending();
    // Appends what is pending; a snapshot follows when the journal failed or has grown as big as
    // the snapshot.
    void appendJournal();
    bool openJournal();
    void startJournal(const QString& token);
    void giveUpJournal(const QString& reason);
    bool journalUsable() const { return startedUp_ && journalFd_ >= 0 && !journalBroken_; }

    TaskTable& tasks_;
    TaskFunctions& taskFunctions_;
    ProcessControl& processes_;
    Log& log_;
    const ProcReader& proc_;
    MonitorLock lock_;
    QString problem_; // why there is no lock, to be logged once the log has begun
    QString statePath_;
    QString bootId_;
    quint64 monitorStart_ = 0; // this process's start time
    // The predecessor's tasks not yet claimed, by name and command, in recorded order.
    std::map<std::pair<QString, QString>, std::deque<StateEntry>> recorded_;
    QHash<qint32, quint64> startTimes_; // of the processes written, read once each
    // Each task's encoded entry, by task id, with the process it was encoded for.
    QHash<qint32, std::pair<qint32, QByteArray>> entries_;
    std::optional<StateEntry> launching_; // a launch under way, written before it happens
    int journalFd_ = -1;
    bool journalBroken_ = false; // an append failed: snapshots only, until one starts it again
    QByteArray pending_;         // journal lines not yet written
    qint64 journalBytes_ = 0, snapshotBytes_ = 0;
    QTimer writeTimer_;
    qint64 lastWriteMs_ = 0;
    quint64 writes_ = 0;
    bool writeFailed_ = false;
    bool startedUp_ = false; // every configured task has been started or adopted
    bool ended_ = false;     // shutdown has written the last state
};

#include "core/Survival.h"

#include "EngineDoubles.h"
#include "FakeProcesses.h"
#include "TestSupport.h"
#include "log/Log.h"
#include "platform/PosixProcessControl.h"
#include "platform/RuntimeDirectory.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>

namespace {

// /proc as a test wants it: a start time and arguments that differ from the real ones stand for a
// number that another process has taken since it was recorded.
struct FakeProc final : ProcReader {
    std::optional<quint64> startTime(qint32 pid) const override {
        if (everyNumberRuns)
            return 1;
        const auto real = ProcReader::startTime(pid);
        return real ? std::optional<quint64>(*real + startShift) : std::nullopt;
    }
    std::optional<QStringList> commandLine(qint32 pid) const override {
        return arguments ? arguments : ProcReader::commandLine(pid);
    }
    QString bootId() const override { return QStringLiteral("boot-1"); }
    quint64 startShift = 0;
    bool everyNumberRuns = false; // for fake processes
    std::optional<QStringList> arguments;
};

template <typename Processes> struct Engine {
    Engine() {
        RuntimeDirectory::setOverride(runtime.path());
        log.LogActivity = true;
    }
    ~Engine() { RuntimeDirectory::setOverride({}); }
    void start(const QString& name, const QString& command, bool autoRestart = false) {
        QString n = name;
        qint16 mode = 0;
        functions.StartTask(n, command, mode, autoRestart);
    }
    // Each task's process as the state file (with its journal) tells it, by id.
    std::map<qint32, qint32> recorded() {
        QString problem, journalProblem;
        const auto record = StateFile::read(survival.statePath(), &problem, &journalProblem);
        EXPECT_TRUE(record && journalProblem.isEmpty()) << qPrintable(problem + journalProblem);
        std::map<qint32, qint32> pids;
        for (const StateEntry& entry : record ? record->tasks : std::vector<StateEntry>{})
            pids[entry.id] = entry.pid;
        return pids;
    }
    std::map<qint32, qint32> running() {
        std::map<qint32, qint32> pids;
        for (int p = 1; p <= tasks.upperBound(); ++p)
            pids[p] = tasks[p].ProcessId;
        return pids;
    }
    QString events() { return log.LogContents(QDate::currentDate()); }

    QTemporaryDir runtime, logs;
    Log log{ProgramInfo{logs.path(), QStringLiteral("prowlix")}};
    TaskTable tasks;
    TaskList up, down;
    Processes processes;
    TaskFunctions functions{tasks, up, down, log, processes};
    FakeProc proc;
    Survival survival{tasks, functions, processes, log, proc};
};

} // namespace

// A recorded process is adopted only when its start time and arguments are still the recorded
// ones; otherwise the task ended unwatched (the failure path), and the process is never touched.
TEST(SurvivalTest, AdoptsOnlyTheRecordedProcess) {
    struct Row {
        const char* name;
        quint64 startShift;
        std::optional<QStringList> arguments;
        bool adopted;
    };
    const Row rows[] = {{"the same process", 0, std::nullopt, true},
                        {"a reused number", 1, std::nullopt, false},
                        {"other arguments", 0, QStringList{"sleep", "1"}, false}};
    const QString sleep = QStandardPaths::findExecutable("sleep"), command = sleep + " 7005.1";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QProcess stranger;
        stranger.start(sleep, {"7005.1"});
        ASSERT_TRUE(stranger.waitForStarted());
        const qint32 pid = static_cast<qint32>(stranger.processId());
        Engine<PosixProcessControl> engine;
        qint64 holder = 0;
        ASSERT_TRUE(engine.survival.begin("tasks.ini", &holder));
        const StateEntry entry{1, "A", command, pid, *engine.proc.startTime(pid)};
        QString error;
        ASSERT_TRUE(StateFile::write(engine.survival.statePath(),
                                     StateFile::encode({"boot-1", 1, 0, {entry}, {}, {}}), &error));
        engine.proc.startShift = row.startShift;
        engine.proc.arguments = row.arguments;
        engine.survival.adoptFromPredecessor();
        engine.start("A", command);
        ASSERT_EQ(engine.tasks.upperBound(), 1);
        EXPECT_EQ(engine.tasks[1].ProcessId, row.adopted ? pid : 0);
        EXPECT_EQ(engine.events().contains("ADOPT: A (" + command + ")"), row.adopted);
        engine.functions.sweep();
        EXPECT_EQ(engine.events().contains("EXIT STATUS: A: unknown (not started by this monitor)"),
                  !row.adopted);
        engine.processes.requestClose(engine.tasks[1].ProcessId); // reaches only what was proven
        EXPECT_EQ(stranger.waitForFinished(row.adopted ? 10000 : 0), row.adopted);
        stranger.kill();
        stranger.waitForFinished();
    }
}

// Start-up's launches within one event-loop turn cost one write of the state file, not one each;
// once start-up has ended, a launch is written as under way before it happens, since a launch not
// yet written is a task the next monitor would start a second time, and with its process by the
// end of the turn.
TEST(SurvivalTest, StartUpWritesOncePerTurnAndLaterLaunchesAtOnce) {
    Engine<testsupport::FakeProcesses> engine;
    engine.proc.everyNumberRuns = true;
    qint64 holder = 0;
    ASSERT_TRUE(engine.survival.begin("tasks.ini", &holder));
    engine.survival.adoptFromPredecessor();
    for (int i = 0; i < 1000; ++i)
        engine.start(QStringLiteral("T%1").arg(i), QStringLiteral("sleep %1").arg(i));
    ASSERT_TRUE(testsupport::waitUntil([&] { return engine.survival.writeCount() > 0; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(engine.survival.writeCount(), 1u);
    engine.survival.startUpEnded();
    engine.start("Late", "sleep late");
    QString problem;
    auto record = StateFile::read(engine.survival.statePath(), &problem);
    ASSERT_TRUE(record) << qPrintable(problem);
    EXPECT_EQ(record->tasks.size(), 1000u);
    ASSERT_EQ(record->launching.size(), 1u);
    EXPECT_EQ(record->launching.front().command, QStringLiteral("sleep late"));
    QCoreApplication::processEvents();
    record = StateFile::read(engine.survival.statePath(), &problem);
    ASSERT_TRUE(record) << qPrintable(problem);
    EXPECT_EQ(record->tasks.size(), 1001u);
    EXPECT_EQ(record->tasks.back().command, QStringLiteral("sleep late"));
    EXPECT_TRUE(record->launching.empty());
}

// After start-up a restart is a few lines in the journal, not a rewrite of every task: a burst of
// them writes no snapshot, yet what a successor reads holds every task's new process. A journal
// grown past its snapshot gives way to a new snapshot and a fresh journal; one that cannot be
// written is said once, and each change is a snapshot instead.
TEST(SurvivalTest, RestartsGoToTheJournal) {
    for (const bool journalUsable : {true, false}) {
        SCOPED_TRACE(journalUsable ? "journal" : "a FIFO where the journal goes");
        Engine<testsupport::FakeProcesses> engine;
        engine.proc.everyNumberRuns = true;
        qint64 holder = 0;
        ASSERT_TRUE(engine.survival.begin("tasks.ini", &holder));
        const QString journal = StateFile::journalPath(engine.survival.statePath());
        if (!journalUsable) {
            ASSERT_EQ(::mkfifo(QFile::encodeName(journal).constData(), 0600), 0);
        }
        engine.survival.adoptFromPredecessor();
        for (int i = 0; i < 20; ++i)
            engine.start(QStringLiteral("T%1").arg(i), QStringLiteral("sleep %1").arg(i), true);
        engine.survival.startUpEnded();
        const quint64 snapshots = engine.survival.writeCount();
        const auto restartAll = [&] {
            for (int p = 1; p <= engine.tasks.upperBound(); ++p)
                engine.processes.end(engine.tasks[p].ProcessId);
            engine.functions.sweep();
            QCoreApplication::processEvents();
        };
        restartAll();
        EXPECT_EQ(engine.recorded(), engine.running());
        EXPECT_EQ(engine.events().count("WARNING: state file " + journal +
                                        " not written: not a regular file"),
                  journalUsable ? 0 : 1)
            << qPrintable(engine.events());
        if (!journalUsable) {
            EXPECT_GE(engine.survival.writeCount(), snapshots + 20);
            continue;
        }
        EXPECT_EQ(engine.survival.writeCount(), snapshots);
        for (int round = 0; round < 1000 && engine.survival.writeCount() == snapshots; ++round)
            restartAll();
        EXPECT_EQ(engine.survival.writeCount(), snapshots + 1);
        EXPECT_LT(QFileInfo(journal).size(), 64 * 1024);
        EXPECT_EQ(engine.recorded(), engine.running());
    }
}

// The journal continues only the snapshot that names it, line by line; a line cut short (a
// monitor killed mid-write) is left out, an unreadable one ends the replay with the reason, and a
// journal that cannot be trusted leaves the snapshot as it is.
TEST(SurvivalTest, JournalReplaysOntoItsSnapshot) {
    const auto entry = [](qint32 id, qint32 pid) {
        return StateEntry{id, QStringLiteral("T%1").arg(id), QStringLiteral("sleep 1"), pid, 7};
    };
    const QString token = "t\"1"; // as any text, quoted in the snapshot
    const QByteArray header = StateFile::journalHeader(token);
    struct Row {
        const char* name;
        QByteArray journal;
        QString tasks, launching;
        bool readable;
    };
    const Row rows[] = {
        {"another snapshot's", StateFile::journalHeader("t0") + StateFile::journalDown(1),
         "1:11 2:12", "", true},
        {"restarted",
         header + StateFile::journalDown(1) + StateFile::journalLaunching(entry(1, 0)) +
             StateFile::journalUp(entry(1, 21)),
         "1:21 2:12", "", true},
        {"under way", header + StateFile::journalDown(2) + StateFile::journalLaunching(entry(2, 0)),
         "1:11", "2", true},
        {"a launch that failed, then a new task",
         header + StateFile::journalLaunching(entry(2, 0)) + StateFile::journalDown(2) +
             StateFile::journalUp(entry(3, 31)),
         "1:11 3:31", "", true},
        {"cut short",
         header + StateFile::journalDown(1) + StateFile::journalUp(entry(1, 21)).chopped(4), "2:12",
         "", true},
        {"unreadable", header + StateFile::journalDown(1) + "up {\n" + StateFile::journalDown(2),
         "2:12", "", false},
    };
    QTemporaryDir dir;
    const QString path = dir.filePath("tasks.state");
    QString problem, journalProblem;
    ASSERT_TRUE(StateFile::write(
        path, StateFile::encode({"boot-1", 1, 0, {entry(1, 11), entry(2, 12)}, {}, token}),
        &problem));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(StateFile::write(StateFile::journalPath(path), row.journal, &problem));
        const auto record = StateFile::read(path, &problem, &journalProblem);
        ASSERT_TRUE(record) << qPrintable(problem);
        QStringList tasks, launching;
        for (const StateEntry& task : record->tasks)
            tasks << QStringLiteral("%1:%2").arg(task.id).arg(task.pid);
        for (const StateEntry& task : record->launching)
            launching << QString::number(task.id);
        EXPECT_EQ(tasks.join(' '), row.tasks);
        EXPECT_EQ(launching.join(' '), row.launching);
        EXPECT_EQ(journalProblem.isEmpty(), row.readable) << qPrintable(journalProblem);
    }
    QFile::remove(StateFile::journalPath(path));
    ASSERT_TRUE(QFile::link(path, StateFile::journalPath(path)));
    const auto record = StateFile::read(path, &problem, &journalProblem);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->tasks.size(), 2u);
    EXPECT_EQ(journalProblem, "a symbolic link");
}

#include "core/Survival.h"

#include "EngineDoubles.h"
#include "FakeProcesses.h"
#include "TestSupport.h"
#include "log/Log.h"
#include "platform/PosixProcessControl.h"
#include "platform/RuntimeDirectory.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

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
    void start(const QString& name, const QString& command) {
        QString n = name;
        qint16 mode = 0;
        functions.StartTask(n, command, mode, false);
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
                                     StateFile::encode({"boot-1", 1, 0, {entry}, {}}), &error));
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

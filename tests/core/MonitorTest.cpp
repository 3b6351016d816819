#include "core/Monitor.h"

#include "FakeProcesses.h"
#include "TestSupport.h"
#include "core/Conversions.h"
#include "core/View.h"

#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Records what the engine asks of the user interface, in order.
struct RecordingView final : View {
    QStringList calls;
    void showMessage(const QString& text) override { calls << "message " + text; }
    void openFile(const QString&) override {}
    void prepareMainWindow() override { calls << "prepare"; }
    void showTray() override { calls << "tray"; }
    void setTitle(const QString& title) override { calls << "title " + title; }
    void applyWindowState(WindowState s) override { calls << QString::number(int(s)) + " window"; }
    void setLoggingChecked(bool on) override { calls << QString::number(on) + " logging"; }
    void setStatusLine(const QString& text) override { calls << "status " + text; }
    void NotifyON() override { calls << "notify on"; }
    void NotifyOFF() override { calls << "notify off"; }
    void unloadAll() override { calls << "unload"; }
};

struct MonitorRun {
    QTemporaryDir dir;
    RecordingView view;
    testsupport::FakeProcesses processes;
    Monitor monitor;
    int quits = 0;

    // before runs ahead of start-up, as the runner's notes do.
    explicit MonitorRun(const QString& arguments,
                        const std::function<void(qint32)>& afterLaunch = nullptr,
                        const std::function<void(Monitor&)>& before = {})
        : monitor(view, processes, arguments, ProgramInfo{dir.path(), QStringLiteral("prowlix")}) {
        monitor.quit = [this] { ++quits; };
        processes.afterLaunch = afterLaunch;
        if (before)
            before(monitor);
        monitor.startUp();
    }
    // The event texts of today's log, without their time stamps.
    QStringList events() {
        QStringList lines = monitor.eventLog()
                                .LogContents(QDate::currentDate())
                                .split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        for (QString& line : lines)
            line = line.section(QStringLiteral(" - "), 1);
        return lines;
    }
};

} // namespace

TEST(MonitorTest, StartUpAsksTheViewInOrder) {
    // A fractional port is rounded for listening and shown as given; a missing INI file is
    // reported and its command line starts nothing; an error ends start-up, logged.
    const quint16 free = testsupport::freePort();
    const QString port = QString::number(free), below = QString::number(free - 1);
    const QString missing = "Error: INI file (missing.ini) not found";
    const QString range = "Invalid port number 70000: a port must lie between 1 and 65535";
    const QStringList opening = {"prepare", "tray", "title Prowlix"};
    const struct {
        QString arguments;
        quint16 bound;
        QStringList events, calls;
    } rows[] = {
        {"/W:max /P:" + below + ".6",
         free,
         {"PORT: " + below + ".6"},
         {"2 window", "1 logging", "status Items: 0   Port: " + below + ".6", "notify off"}},
        {"/I:missing.ini \"sleep 300\" /W:MIN /P:" + port,
         0,
         {missing, "STATUS PORT CLOSED (" + port + "): the INI file could not be read"},
         {"0 window", "message " + missing, "1 logging", "status Items: 0   Port: " + port}},
        {"/P:70000",
         0,
         {range},
         {"1 window", "1 logging", "status Items: 0   Port: 70000", "notify off"}},
        {"/P:1e12",
         0,
         {"Overflow", "STATUS PORT CLOSED (" + Conversions::numberText(1e12) +
                          "): start-up stopped at an error"},
         {"1 window", "1 logging", "status Items: 0   Port: " + Conversions::numberText(1e12)}},
    };
    for (const auto& row : rows) {
        MonitorRun run(row.arguments);
        EXPECT_EQ(run.view.calls, opening + row.calls);
        EXPECT_EQ(run.events(), QStringList("SYSTEM STARTED (" + row.arguments + ')') + row.events);
        EXPECT_EQ(run.monitor.statusPort().Winsock1.boundPort(), row.bound);
        EXPECT_EQ(run.monitor.tasks().upperBound(), 0);
    }
}

// A configuration that cannot be read is no "all up": the port stays closed, and the event names
// the file. Opening a FIFO must not block.
TEST(MonitorTest, IniFileThatCannotBeReadKeepsTheStatusPortClosed) {
    QTemporaryDir scratch;
    const QString fifo = scratch.filePath("fifo.ini"), locked = scratch.filePath("locked.ini");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    ASSERT_TRUE(testsupport::writeFile(locked, "start=sleep 300\n"));
    ::chmod(QFile::encodeName(locked).constData(), 0);
    const QString port = QString::number(testsupport::freePort());
    const std::pair<QString, QString> rows[] = {{scratch.filePath("missing.ini"), "not found"},
                                                {scratch.path(), "is not a regular file"},
                                                {fifo, "is not a regular file"},
                                                {locked, "cannot be read: Permission denied"}};
    for (const auto& [path, problem] : rows) {
        if (path == locked && ::geteuid() == 0)
            continue; // root reads it all the same
        MonitorRun run("/P:" + port + " sleep /I:" + path);
        const QString text = "Error: INI file (" + path + ") " + problem;
        EXPECT_EQ(run.events().mid(1),
                  QStringList(
                      {text, "STATUS PORT CLOSED (" + port + "): the INI file could not be read"}));
        EXPECT_TRUE(run.view.calls.contains("message " + text)) << qPrintable(path);
        EXPECT_TRUE(run.processes.launched.isEmpty());
        EXPECT_EQ(testsupport::askPort(port.toUShort()), "refused");
    }
    // A file that fails while it is read names itself too, and ends start-up with the port closed.
    MonitorRun run("/P:" + port + " /I:/proc/self/mem");
    EXPECT_TRUE(
        run.events().value(1).startsWith("Error: INI file (/proc/self/mem) cannot be read: "))
        << qPrintable(run.events().join('|'));
    EXPECT_EQ(run.events().last(),
              "STATUS PORT CLOSED (" + port + "): start-up stopped at an error");
    EXPECT_EQ(testsupport::askPort(port.toUShort()), "refused");
}

// Start-up opens the port only when every task is up as it ends, and "PORT: " is written only
// when the port listens; otherwise an event says why. A restart's all-clear opens it later.
TEST(MonitorTest, StatusPortOpensOnlyWhenEveryTaskIsUpAsStartUpEnds) {
    const struct {
        QByteArray ini;
        bool endFirst;  // the first task ends at once, before any tick could see it
        QString closed; // empty: the port listens at the end of start-up
        bool opensLater;
    } rows[] = {
        {"start=a,A\nstart=b,B\n", false, "", false},
        {"start=a,A\nstart=b,B\n", true, "A (a) is down", false},
        {"start=a,A\nstart=!b,B\n", false, "1 task could not be started", false},
        {"start=a,A,,1\nstart=b,B\n", true, "waiting for a restarted task to stay up", true},
    };
    for (const auto& row : rows) {
        QTemporaryDir scratch;
        const QString ini = scratch.filePath("w.ini");
        ASSERT_TRUE(testsupport::writeFile(ini, row.ini));
        const quint16 port = testsupport::freePort();
        const QString portText = QString::number(port);
        MonitorRun run("/P:" + portText + " /I:" + ini, [&](qint32 pid) {
            if (row.endFirst && pid == 101)
                run.processes.end(pid);
        });
        const QString expected =
            row.closed.isEmpty() ? QString("PORT: " + portText)
                                 : QString("STATUS PORT CLOSED (" + portText + "): " + row.closed);
        EXPECT_EQ(run.events().last(), expected) << qPrintable(run.events().join('|'));
        EXPECT_EQ(run.monitor.statusPort().isListening(), row.closed.isEmpty());
        if (row.opensLater) {
            EXPECT_TRUE(
                testsupport::waitUntil([&] { return run.events().last() == "PORT: " + portText; }));
        }
        EXPECT_EQ(testsupport::askPort(port),
                  row.closed.isEmpty() || row.opensLater ? "SERVICES UP" : "refused");
    }
}

// Closing only hides until shutdown, which the task manager's close runs first, and only once.
TEST(MonitorTest, CloseRuleAndShutdown) {
    const QString arguments = "/P:" + QString::number(testsupport::freePort());
    MonitorRun run(arguments);
    EXPECT_FALSE(run.monitor.closeRule(Monitor::CloseReason::User));
    EXPECT_FALSE(run.monitor.closeRule(Monitor::CloseReason::Code));
    EXPECT_TRUE(run.monitor.closeRule(Monitor::CloseReason::TaskManager));
    run.monitor.ShutDownMonitor();
    EXPECT_EQ(run.quits, 1);
    EXPECT_TRUE(run.monitor.closeRule(Monitor::CloseReason::User));
    EXPECT_EQ(run.view.calls.last(), "unload");
    EXPECT_EQ(run.events().last(), "SYSTEM STOPPED (" + arguments + ')');
}

// What start-up was told before it began follows the start entry; a refused argument may have
// been a task, so the status port stays closed.
TEST(MonitorTest, NotesFollowTheStartEntryAndARefusedArgumentKeepsThePortClosed) {
    const QString arguments = "/P:" + QString::number(testsupport::freePort()) + " sleep";
    for (const bool refused : {false, true}) {
        MonitorRun run(arguments, nullptr, [refused](Monitor& monitor) {
            monitor.noteAtStart("first", refused);
            monitor.noteAtStart("second");
        });
        EXPECT_EQ(run.events().mid(1, 2), QStringList({"first", "second"}));
        EXPECT_EQ(run.monitor.statusPort().isListening(), !refused);
        run.monitor.ShutDownMonitor();
    }
}

#include "Monitor.h"

#include "Conversions.h"
#include "FakeProcesses.h"
#include "TestSupport.h"
#include "View.h"

#include <functional>
#include <gtest/gtest.h>

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
    explicit MonitorRun(const QString& arguments, const std::function<void(Monitor&)>& before = {})
        : monitor(view, processes, arguments, ProgramInfo{dir.path(), QStringLiteral("prowlix")}) {
        monitor.quit = [this] { ++quits; };
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
         free,
         {missing, "PORT: " + port},
         {"0 window", "message " + missing, "1 logging", "status Items: 0   Port: " + port,
          "notify off"}},
        {"/P:70000",
         0,
         {range},
         {"1 window", "1 logging", "status Items: 0   Port: 70000", "notify off"}},
        {"/P:1e12",
         0,
         {"Overflow"},
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
        MonitorRun run(arguments, [refused](Monitor& monitor) {
            monitor.noteAtStart("first", refused);
            monitor.noteAtStart("second");
        });
        EXPECT_EQ(run.events().mid(1, 2), QStringList({"first", "second"}));
        EXPECT_EQ(run.monitor.statusPort().isListening(), !refused);
        run.monitor.ShutDownMonitor();
    }
}

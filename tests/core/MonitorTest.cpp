#include "Monitor.h"

#include "Conversions.h"
#include "EngineDoubles.h"
#include "TestSupport.h"
#include "View.h"

#include <QTcpServer>
#include <csignal>
#include <gtest/gtest.h>

namespace {

// Records what the engine asks of the user interface, in order.
struct RecordingView final : View {
    QStringList calls;
    void record(const QString& call) { calls << call; }
    void showMessage(const QString& text) override { record("message " + text); }
    void openFile(const QString&) override {}
    void applyFlatLook() override { record("flat"); }
    void showTray() override { record("tray"); }
    void setTitle(const QString& title) override { record("title " + title); }
    void setListCaptions(const QString& up, const QString& down) override {
        record("captions " + up + '|' + down);
    }
    void applyWindowState(WindowState s) override { record(QString::number(int(s)) + " window"); }
    void setLoggingChecked(bool on) override { record(QString::number(on) + " logging"); }
    void setStatusLine(const QString& text) override { record("status " + text); }
    void NotifyON() override { record("notify on"); }
    void NotifyOFF() override { record("notify off"); }
    void unloadAll() override { record("unload"); }
};

struct MonitorRun {
    QTemporaryDir dir;
    RecordingView view;
    testsupport::SpyingProcesses processes;
    Monitor monitor;
    int quits = 0;

    explicit MonitorRun(const QString& arguments)
        : monitor(view, processes, arguments, ProgramInfo{dir.path(), QStringLiteral("prowlix")}) {
        monitor.quit = [this] { ++quits; };
        monitor.startUp();
    }
    ~MonitorRun() {
        for (int p = 1; p <= monitor.tasks().upperBound(); ++p)
            ::kill(monitor.tasks()[p].ProcessId, SIGKILL);
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

TEST(MonitorTest, StartUpRunsItsStepsInOrder) {
    // A fraction is rounded, not cut off, and shown as given.
    const quint16 port = testsupport::freePort();
    const QString arguments = QStringLiteral("/W:max /P:%1.6").arg(port - 1);
    MonitorRun run(arguments);
    EXPECT_EQ(
        run.view.calls,
        QStringList({"flat", "tray", "title Prowlix", "captions U\r\np|D\r\no\r\nw\r\nn",
                     "2 window", "1 logging",
                     QStringLiteral("status Items: 0   Port: %1.6").arg(port - 1), "notify off"}));
    EXPECT_EQ(run.events(), QStringList({"SYSTEM STARTED (" + arguments + ')',
                                         QStringLiteral("PORT: %1.6").arg(port - 1)}));
    EXPECT_EQ(run.monitor.statusPort().Winsock1.boundPort(), port);
    EXPECT_TRUE(run.monitor.tickEnabled());
}

TEST(MonitorTest, ErrorEndsStartUpButTheMonitorSupervisesOn) {
    QTcpServer occupier;
    ASSERT_TRUE(occupier.listen(QHostAddress::Any, 0));
    const QString busy = QString::number(occupier.serverPort());
    const QList<std::pair<QString, QString>> unusable = {{busy, "Unable to listen on port " + busy},
                                                         {"70000", "Invalid port number 70000"},
                                                         {"1e12", "Overflow"}};
    // The status line shows the value as read, before the error ends the start-up.
    for (const auto& [port, error] : unusable) {
        MonitorRun run("/P:" + port);
        const QStringList events = run.events();
        ASSERT_EQ(events.size(), 2) << qPrintable(port);
        EXPECT_TRUE(events[1].startsWith(error)) << qPrintable(events[1]);
        EXPECT_TRUE(run.view.calls.contains("status Items: 0   Port: " +
                                            Conversions::numberText(Conversions::Val(port))));
        EXPECT_FALSE(run.monitor.statusPort().isListening());
        EXPECT_TRUE(run.monitor.tickEnabled());
    }
}

TEST(MonitorTest, MissingIniFileIsReportedAndNoProgramStarts) {
    const QString arguments =
        QStringLiteral("/I:missing.ini \"sleep 300\" /W:MIN /P:%1").arg(testsupport::freePort());
    MonitorRun run(arguments);
    const QString text = QStringLiteral("Error: INI file (missing.ini) not found");
    EXPECT_TRUE(run.view.calls.contains("message " + text));
    EXPECT_TRUE(run.view.calls.contains("0 window"));
    EXPECT_EQ(run.monitor.tasks().upperBound(), 0);
    EXPECT_EQ(run.events(), QStringList({"SYSTEM STARTED (" + arguments + ')', text,
                                         arguments.section(':', -1).prepend("PORT: ")}));
    EXPECT_TRUE(run.monitor.statusPort().isListening());
}

// The supervision tests follow the closed tasks; here the close rule and the order of the calls.
TEST(MonitorTest, ShutdownClosesOnlyTasksThatAreUpInTableOrder) {
    MonitorRun run(QStringLiteral("/KILL /P:%1 \"sleep 300\" \"sleep 301\" \"sleep 302\"")
                       .arg(testsupport::freePort()));
    TaskTable& tasks = run.monitor.tasks();
    ASSERT_EQ(tasks.upperBound(), 3);
    tasks[2].IsUp = false; // down: left alone

    EXPECT_FALSE(run.monitor.closeRule(Monitor::CloseReason::User)) << "closing only hides";
    EXPECT_TRUE(run.monitor.closeRule(Monitor::CloseReason::TaskManager));
    run.monitor.ShutDownMonitor();
    EXPECT_EQ(run.quits, 1);
    EXPECT_TRUE(run.monitor.closeRule(Monitor::CloseReason::User));
    EXPECT_FALSE(run.monitor.tickEnabled());
    EXPECT_FALSE(run.monitor.Timer1().isActive());
    EXPECT_EQ(run.processes.closeRequests, QList<qint32>({tasks[1].ProcessId, tasks[3].ProcessId}));
    EXPECT_EQ(run.view.calls.last(), "unload");
    EXPECT_TRUE(run.events().last().startsWith("SYSTEM STOPPED (/KILL "));
}

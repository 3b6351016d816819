#include "Monitor.h"

#include "ProcessControl.h"
#include "TestSupport.h"
#include "View.h"

#include <QTcpServer>
#include <csignal>
#include <gtest/gtest.h>
#include <memory>

using testsupport::waitUntil;

namespace {

// Records what the engine asks of the user interface, in order.
struct RecordingView final : View {
    QStringList calls;
    void showMessage(const QString& text) override { calls << QStringLiteral("message ") + text; }
    void openFile(const QString&) override {}
    void applyFlatLook() override { calls << QStringLiteral("flat"); }
    void showTray() override { calls << QStringLiteral("tray"); }
    void setTitle(const QString& title) override { calls << QStringLiteral("title ") + title; }
    void setListCaptions(const QString& up, const QString& down) override {
        calls << QStringLiteral("captions ") + up + QLatin1Char('|') + down;
    }
    void applyWindowState(WindowState state) override {
        calls << QStringLiteral("window %1").arg(static_cast<int>(state));
    }
    void setLoggingChecked(bool checked) override {
        calls << QStringLiteral("logging %1").arg(checked);
    }
    void setStatusLine(const QString& text) override { calls << QStringLiteral("status ") + text; }
    void NotifyON() override { calls << QStringLiteral("notify on"); }
    void NotifyOFF() override { calls << QStringLiteral("notify off"); }
    void unloadAll() override { calls << QStringLiteral("unload"); }
};

// Real processes; only the close requests are recorded, since their order cannot be observed
// on the processes themselves.
struct RecordingProcesses final : ProcessControl {
    std::unique_ptr<ProcessControl> real = createProcessControl();
    QList<qint32> closeRequests;
    qint32 launch(const QString& command, int showValue) override {
        return real->launch(command, showValue);
    }
    qint32 status(qint32 pid) override { return real->status(pid); }
    void requestClose(qint32 pid) override {
        closeRequests << pid;
        real->requestClose(pid);
    }
    void setImmediateDetection(bool on) override { real->setImmediateDetection(on); }
};

// A free even port: the monitor is given it minus a half, which rounds to it (halves go to
// the even neighbour).
quint16 evenFreePort() {
    for (;;) {
        QTcpServer probe;
        if (probe.listen(QHostAddress::Any, 0) && probe.serverPort() % 2 == 0)
            return probe.serverPort();
        const quint16 next = probe.serverPort() + 1;
        probe.close();
        if (next % 2 == 0 && probe.listen(QHostAddress::Any, next))
            return next;
    }
}

struct MonitorRun {
    QTemporaryDir dir;
    RecordingView view;
    RecordingProcesses processes;
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
    const quint16 port = evenFreePort();
    const QString arguments = QStringLiteral("/W:max /P:%1.5").arg(port - 1);
    MonitorRun run(arguments);
    EXPECT_EQ(run.view.calls,
              QStringList({QStringLiteral("flat"), QStringLiteral("tray"),
                           QStringLiteral("title Prowlix"),
                           QStringLiteral("captions U\r\np|D\r\no\r\nw\r\nn"),
                           QStringLiteral("window 2"), QStringLiteral("logging 1"),
                           QStringLiteral("status Items: 0   Port: %1.5").arg(port - 1),
                           QStringLiteral("notify off")}));
    EXPECT_EQ(run.events(),
              QStringList({QStringLiteral("SYSTEM STARTED (") + arguments + QLatin1Char(')'),
                           QStringLiteral("PORT: %1.5").arg(port - 1)}));
    EXPECT_EQ(run.monitor.statusPort().Winsock1.boundPort(), port);
    EXPECT_TRUE(run.monitor.Timer1().isActive());
    EXPECT_EQ(run.monitor.Timer1().interval(), 100);
}

TEST(MonitorTest, ErrorEndsStartUpButTheMonitorRunsOn) {
    QTcpServer occupier;
    ASSERT_TRUE(occupier.listen(QHostAddress::Any, 0));
    MonitorRun run(QStringLiteral("/L:off /P:%1").arg(occupier.serverPort()));
    // Logging is off after the start entry, so the error is not in the file either.
    EXPECT_EQ(run.events().size(), 1);
    EXPECT_TRUE(run.view.calls.contains(
        QStringLiteral("status Items: 0   Port: %1").arg(occupier.serverPort())));
    EXPECT_FALSE(run.monitor.statusPort().isListening());
    EXPECT_TRUE(run.monitor.Timer1().isActive());

    const QList<std::pair<QString, QString>> unusable = {
        {QString::number(occupier.serverPort()), QStringLiteral("Unable to listen on port ")},
        {QStringLiteral("70000"), QStringLiteral("Invalid port number 70000")},
        {QStringLiteral("1e12"), QStringLiteral("Overflow")}};
    for (const auto& [port, error] : unusable) {
        MonitorRun logged(QStringLiteral("/P:") + port);
        const QStringList events = logged.events();
        ASSERT_EQ(events.size(), 2) << qPrintable(port);
        EXPECT_TRUE(events[1].startsWith(error)) << qPrintable(events[1]);
    }
}

TEST(MonitorTest, MissingIniFileIsReportedAndNoProgramStarts) {
    const quint16 port = testsupport::freePort();
    MonitorRun run(QStringLiteral("/I:missing.ini \"sleep 300\" /W:MIN /P:%1").arg(port));
    const QString text = QStringLiteral("Error: INI file (missing.ini) not found");
    EXPECT_TRUE(run.view.calls.contains(QStringLiteral("message ") + text));
    EXPECT_TRUE(run.view.calls.contains(QStringLiteral("window 0")));
    EXPECT_EQ(run.monitor.tasks().upperBound(), 0);
    EXPECT_EQ(
        run.events(),
        QStringList(
            {QStringLiteral("SYSTEM STARTED (/I:missing.ini \"sleep 300\" /W:MIN /P:%1)").arg(port),
             text, QStringLiteral("PORT: %1").arg(port)}));
    EXPECT_TRUE(run.monitor.statusPort().isListening());
}

TEST(MonitorTest, ShutdownRunsOnceAndClosesOnlyTasksThatAreUpInTableOrder) {
    MonitorRun run(QStringLiteral("/L:OFF /KILL /P:%1 \"sleep 300\" \"sleep 301\" \"sleep 302\"")
                       .arg(testsupport::freePort()));
    TaskTable& tasks = run.monitor.tasks();
    ASSERT_EQ(tasks.upperBound(), 3);
    tasks[2].IsUp = false; // down: left alone

    EXPECT_FALSE(run.monitor.closeRule(Monitor::CloseReason::User)) << "closing only hides";
    EXPECT_TRUE(run.monitor.closeRule(Monitor::CloseReason::TaskManager));
    run.monitor.ShutDownMonitor();
    EXPECT_EQ(run.quits, 1);
    EXPECT_TRUE(run.monitor.CloseApp);
    EXPECT_TRUE(run.monitor.closeRule(Monitor::CloseReason::User));
    EXPECT_FALSE(run.monitor.Timer1().isActive());
    EXPECT_EQ(run.processes.closeRequests, QList<qint32>({tasks[1].ProcessId, tasks[3].ProcessId}));
    EXPECT_TRUE(waitUntil([&] { return run.processes.status(tasks[1].ProcessId) == 0; }))
        << "SIGTERM ends a plain task";
    EXPECT_EQ(run.processes.status(tasks[2].ProcessId), ProcessControl::WAIT_TIMEOUT);
    EXPECT_EQ(run.view.calls.last(), QStringLiteral("unload"));

    const QStringList events = run.events();
    ASSERT_EQ(events.size(), 2);
    EXPECT_EQ(events[1],
              QStringLiteral("SYSTEM STOPPED (") + run.monitor.argumentText() + QLatin1Char(')'));
}

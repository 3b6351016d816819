#include "core/FailureAlert.h"

#include "MailServers.h"
#include "TestSupport.h"
#include "core/Monitor.h"
#include "core/View.h"
#include "log/Log.h"
#include "platform/PosixProcessControl.h"
#include "tasks/TaskTable.h"

#include <QJsonArray>
#include <csignal>
#include <gtest/gtest.h>

using testsupport::waitUntil;

namespace {

class FailureAlertTest : public MailTest {
  protected:
    FailureAlertTest() {
        log.LogActivity = true;
        const std::tuple<QString, QString, bool> rows[] = {{"Editor", "/usr/bin/ed a.txt", true},
                                                           {"backup job", "backup.sh", false},
                                                           {"Überwachung Ω", "./watch\n.", false}};
        for (const auto& [name, command, restart] : rows) {
            TaskRecord& task = tasks.add();
            task.TaskName = name;
            task.PathAndFile = command;
            task.AutoRestart = restart;
        }
        mail.ToAddress = "ops@example.com";
    }
    int logged(const QString& text) {
        return static_cast<int>(log.LogContents(QDate::currentDate()).count(text));
    }
    bool sent() {
        return waitUntil([&] { return alert.pending() == 0; });
    }

    QTemporaryDir logDir;
    TaskTable tasks;
    Log log{ProgramInfo{logDir.path(), "Prowlix"}};
    FailureAlert alert{tasks, mail, log, clock};
};

} // namespace

// What a standard mail parser makes of each stored message; the header set is pinned by the
// security test.
TEST_F(FailureAlertTest, RealServerStoresAValidMessagePerRecipient) {
    SinkServer sink;
    ASSERT_TRUE(sink.ready());
    mail.SMTPPort = static_cast<qint16>(sink.port());
    mail.ToAddress = "ops@example.com, lead@example.com";
    alert.SendFailureAlert(3);
    ASSERT_TRUE(sent());
    const QList<QJsonObject> stored = sink.messages();
    ASSERT_EQ(stored.size(), 2);
    for (qsizetype i = 0; i < stored.size(); ++i) {
        const QJsonObject& message = stored[i];
        const QJsonObject parsed = message["parsed"].toObject();
        const QJsonObject headers = parsed["headers"].toObject();
        const QString to = i == 0 ? "ops@example.com" : "lead@example.com";
        EXPECT_EQ(message["rcpt_tos"].toArray(), QJsonArray{to});
        EXPECT_EQ(parsed["defects"].toArray(), QJsonArray{});
        EXPECT_EQ(headers["From"].toString(), "Prowlix <Prowlix@corp-net.example>");
        EXPECT_EQ(headers["To"].toString(), to);
        EXPECT_EQ(headers["Subject"].toString(), "Monitored Task Failure Report (ÜBERWACHUNG Ω)");
        EXPECT_TRUE(message["content"].toString().contains("\r\nSubject: =?UTF-8?B?"));
        // The date is the monitor's wall clock, in Greenwich time.
        EXPECT_EQ(parsed["date_utc"].toDouble(), clock.wallTime().toSecsSinceEpoch());
        EXPECT_TRUE(headers["Message-ID"].toString().endsWith("@corp-net.example>"));
        // Line ends are the parser's; lines that begin with "." arrive unchanged.
        EXPECT_EQ(parsed["body"].toString().replace("\r\n", "\n"),
                  "Prowlix\nMonitored Task Failure Report\nÜBERWACHUNG Ω\n./watch\n.\n"
                  "Automatic restart active for this task?: FALSE\n\n\n");
    }
    EXPECT_NE(stored[0]["parsed"]["headers"]["Message-ID"],
              stored[1]["parsed"]["headers"]["Message-ID"]);
    // The event names its task; the line break is a blank in the log.
    EXPECT_EQ(logged(" - EMAIL ALERT: sent to (ops@example.com, lead@example.com); task: "
                     "Überwachung Ω (./watch .)\r\n"),
              1);
}

// The call returns at once; the queue sends in order, one dialogue at a time, and only a
// dialogue that ended well is logged as sent.
TEST_F(FailureAlertTest, AlertsAreQueuedBoundedSentOneAtATimeAndFailuresLoggedAsFailed) {
    ScriptedServer server;
    mail.SMTPPort = static_cast<qint16>(server.port());
    mail.MailServer.clear();
    alert.SendFailureAlert(1);
    mail.MailServer = "127.0.0.1";
    mail.ToAddress.clear();
    alert.SendFailureAlert(1);
    EXPECT_EQ(alert.pending(), 0u);

    mail.ToAddress = "ops@example.com";
    alert.SendFailureAlert(1);
    alert.SendFailureAlert(2);
    EXPECT_EQ(alert.pending(), 2u);
    ASSERT_TRUE(sent());
    ASSERT_EQ(server.connections().size(), 2);
    EXPECT_EQ(server.connections()[1]->othersOpen, 0);
    EXPECT_TRUE(server.connections()[0]->data.contains("Report (EDITOR)\r\n"));
    EXPECT_TRUE(server.connections()[1]->data.contains("Report (BACKUP JOB)\r\n") &&
                server.connections()[1]->data.contains("\r\nbackup.sh\r\n"));
    EXPECT_EQ(logged(" - EMAIL ALERT: sent to (ops@example.com); task: Editor (/usr/bin/ed a.txt)"),
              1);
    EXPECT_EQ(logged(" - EMAIL ALERT: sent to (ops@example.com); task: backup job (backup.sh)"), 1);

    mail.SMTPPort = static_cast<qint16>(freeLowPort());
    alert.SendFailureAlert(2);
    ASSERT_TRUE(sent());
    EXPECT_EQ(logged(" - EMAIL ALERT: failed (ops@example.com): SMTP_CONNECT_ERR: Connection "
                     "refused; task: backup job (backup.sh)"),
              1);
    EXPECT_EQ(logged("EMAIL ALERT: "), 3);
    EXPECT_EQ(alert.sentTotal(), 2u);
    EXPECT_EQ(alert.failedTotal(), 1u);

    // A server that never greets holds up one dialogue; the queue behind it is bounded.
    server.greeting.clear();
    mail.SMTPPort = static_cast<qint16>(server.port());
    for (std::size_t i = 0; i <= FailureAlert::queueLimit + 1; ++i)
        alert.SendFailureAlert(1);
    EXPECT_EQ(alert.pending(), FailureAlert::queueLimit + 1); // the queue and the one in progress
    EXPECT_EQ(logged("EMAIL ALERT: failed (ops@example.com): queue full"), 1);
}

// Mails beyond the limit wait for the window's end, the latest failure with the count of the
// others; the alert of a failure that hit the restart limit says the task stays down. Mails keep
// the order of the failures.
TEST_F(FailureAlertTest, LimitHoldsBackMailsUntilTheWindowEndsAndTheLimitedTaskSaysItStaysDown) {
    ScriptedServer server;
    mail.SMTPPort = static_cast<qint16>(server.port());
    alert.limitCount = 2;
    alert.limitSeconds = 60;
    tasks[2].restartLimited = true;
    for (const qint32 p : {1, 1, 1, 1, 2})
        alert.SendFailureAlert(p, p == 2 ? QStringList{"sixth line"} : QStringList{});
    ASSERT_TRUE(sent());
    ASSERT_EQ(server.connections().size(), 3);
    EXPECT_TRUE(server.connections()[2]->data.contains(
        "task?: FALSE\r\nsixth line\r\nRestart limit reached (RESTART_LIMIT): the task stays "
        "down until it is started again\r\n"));
    clock.advance(60 * 1000 - 1);
    EXPECT_EQ(alert.pending(), 0u);
    clock.advance(1); // the window of the first two ends: the held failures are mailed now
    ASSERT_TRUE(sent());
    alert.SendFailureAlert(1); // the window has room for one more
    ASSERT_TRUE(sent());

    const QByteArray held = "Failures not mailed since the last alert (ALERT_LIMIT): ";
    ASSERT_EQ(server.connections().size(), 5);
    for (const int i : {0, 1, 2, 4})
        EXPECT_FALSE(server.connections()[i]->data.contains("ALERT_LIMIT")) << i;
    EXPECT_TRUE(server.connections()[3]->data.contains(
        QByteArray("task?: TRUE\r\n" + held +
                   "1\r\nThis failure was held back by ALERT_LIMIT until its "
                   "window ended\r\n")));

    // A failure still held at shutdown is accounted for like a queued one.
    for (int i = 0; i < 3; ++i)
        alert.SendFailureAlert(1);
    ASSERT_TRUE(sent());
    alert.shutDown();
    EXPECT_EQ(logged("EMAIL ALERT: failed (ops@example.com): shut down; task: Editor"), 1);
    clock.advance(120 * 1000);
    EXPECT_EQ(server.connections().size(), 5);
}

// A whole monitor, real tasks and the real launcher, that mails ops@example.com through the
// server on mailPort; ini holds the rest of its configuration.
struct MailedMonitor {
    MailedMonitor(quint16 mailPort, const QString& ini)
        : monitor(view, processes, QString("/P:%1 /I:%2").arg(testsupport::freePort()).arg(path()),
                  ProgramInfo{dir.path(), "prowlix"}) {
        testsupport::writeFile(path(), QString("SMTP_SERVER=127.0.0.1\nSMTP_PORT=%1\n"
                                               "SMTP_TO=ops@example.com\n%2")
                                           .arg(mailPort)
                                           .arg(ini)
                                           .toUtf8());
        monitor.quit = [] {};
        monitor.startUp();
    }
    QString path() const { return dir.filePath("mail.ini"); }
    QString logText() {
        return testsupport::readFile(monitor.eventLog().LogFileName(QDate::currentDate()));
    }

    QTemporaryDir dir;
    HeadlessView view;
    PosixProcessControl processes;
    Monitor monitor;
};

// The whole monitor with real tasks: a mail server that accepts and never answers holds up no
// restart, also while a second task fails; shutdown accounts for every alert it held, before the
// monitor's last event, and none is sent after it.
TEST(FailureAlertMonitorTest, MuteMailServerDelaysNoRestart) {
    QTcpServer mute; // the system accepts its connections; nobody ever answers
    ASSERT_TRUE(mute.listen(QHostAddress::LocalHost, freeLowPort()));
    MailedMonitor run(mute.serverPort(), "start=sleep 3600,A,,True\nstart=sleep 3600,B,,True\n");
    Monitor& monitor = run.monitor;
    const auto logText = [&] { return run.logText(); };
    ASSERT_EQ(monitor.tasks().upperBound(), 2);
    for (const int p : {1, 2, 1}) {
        const qsizetype restarts = logText().count("RE-START: ");
        ::kill(monitor.tasks()[p].ProcessId, SIGKILL);
        EXPECT_TRUE(waitUntil([&] { return logText().count("RE-START: ") == restarts + 1; },
                              std::chrono::seconds(2)))
            << "task " << p;
    }
    EXPECT_EQ(monitor.failureAlert().pending(), 3u);
    monitor.ShutDownMonitor();
    monitor.failureAlert().SendFailureAlert(1);
    const QString shutDown = "EMAIL ALERT: failed (ops@example.com): shut down";
    EXPECT_EQ(logText().section("SYSTEM STOPPED (", 0, 0).count(shutDown), 3);
    EXPECT_EQ(logText().count(shutDown), 4);
    EXPECT_EQ(monitor.failureAlert().pending(), 0u);
    for (const int p : {1, 2})
        ::kill(monitor.tasks()[p].ProcessId, SIGKILL);
}

// The whole monitor against the real server: the failure that hits the restart limit is mailed
// as leaving the task down, each event names the task it reports, and the alert carries why the
// task ended and its last output, with its control characters made blanks.
TEST(FailureAlertMonitorTest, TheLimitsMailSaysTheTaskStaysDown) {
    SinkServer sink;
    ASSERT_TRUE(sink.ready());
    QTemporaryDir output;
    const QString script = output.filePath("a.sh");
    testsupport::writeFile(script, "echo one; printf 't\\033wo\\n'; exec sleep 3600\n");
    MailedMonitor run(sink.port(), "RESTART_LIMIT=1,600\nOUTPUT_DIR=" + output.path() +
                                       "\nstart=sh " + script + ",A,,True\n");
    Monitor& monitor = run.monitor;
    const auto logText = [&] { return run.logText(); };
    ASSERT_EQ(monitor.tasks().upperBound(), 1);
    ASSERT_TRUE(
        waitUntil([&] { return testsupport::readFile(output.filePath("A.log")).contains("wo"); }));
    ::kill(monitor.tasks()[1].ProcessId, SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return logText().contains("RE-START: "); }));
    ::kill(monitor.tasks()[1].ProcessId, SIGKILL);
    ASSERT_TRUE(waitUntil(
        [&] { return sink.messages().size() == 2 && monitor.failureAlert().pending() == 0; }));
    const QString limitLine = "Restart limit reached (RESTART_LIMIT): the task stays down until "
                              "it is started again";
    const QList<QJsonObject> stored = sink.messages();
    EXPECT_FALSE(stored[0]["parsed"]["body"].toString().contains(limitLine));
    // Why the task ended is the sixth line, after the five the alert always has.
    const QStringList body =
        stored[0]["parsed"]["body"].toString().replace("\r\n", "\n").split('\n').mid(5, 4);
    EXPECT_EQ(body,
              QStringList({"Exit status: killed by signal 9 (SIGKILL)",
                           "Last output (" + output.filePath("A.log") + "):", "  one", "  t wo"}));
    EXPECT_TRUE(stored[1]["parsed"]["body"].toString().contains(limitLine));
    EXPECT_EQ(logText().count("EMAIL ALERT: sent to (ops@example.com); task: A (sh "), 2);
    monitor.ShutDownMonitor();
}

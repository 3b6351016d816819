#include "FailureAlert.h"

#include "Log.h"
#include "MailServers.h"
#include "Monitor.h"
#include "PosixProcessControl.h"
#include "TaskTable.h"
#include "TestSupport.h"
#include "View.h"

#include <QDate>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSet>
#include <csignal>
#include <gtest/gtest.h>

using testsupport::waitUntil;

namespace {

class FailureAlertTest : public MailTest {
  protected:
    FailureAlertTest() {
        log.LogActivity = true;
        addTask(QStringLiteral("Editor"), QStringLiteral("/usr/bin/editor --file a.txt"), true);
        addTask(QStringLiteral("backup job"), QStringLiteral("backup.sh"), false);
        addTask(QStringLiteral("Überwachung Ω"), QStringLiteral("watch"), false);
        mail.ToAddress = QStringLiteral("ops@example.com");
    }

    void addTask(const QString& name, const QString& command, bool autoRestart) {
        TaskRecord& task = tasks.add();
        task.TaskName = name;
        task.PathAndFile = command;
        task.AutoRestart = autoRestart;
    }

    QString logText() { return log.LogContents(QDate::currentDate()); }
    int logged(const QString& text) { return static_cast<int>(logText().count(text)); }

    QTemporaryDir logDir;
    TaskTable tasks;
    Log log{ProgramInfo{logDir.path(), QStringLiteral("Prowlix")}};
    FailureAlert alert{tasks, mail, log};
};

QString header(const QJsonObject& message, const QString& name) {
    for (const QJsonValue& pair :
         message[QStringLiteral("parsed")][QStringLiteral("headers")].toArray())
        if (pair[0].toString() == name)
            return pair[1].toString();
    return QStringLiteral("(none)");
}

} // namespace

// What a standard mail parser makes of each stored message.
TEST_F(FailureAlertTest, RealServerStoresAValidMessagePerRecipient) {
    SinkServer sink;
    ASSERT_TRUE(sink.ready());
    mail.SMTPPort = static_cast<qint16>(sink.port());
    mail.ToAddress = QStringLiteral("ops@example.com, lead@example.com");
    alert.SendFailureAlert(1);
    alert.SendFailureAlert(3);
    ASSERT_TRUE(waitUntil([&] { return alert.pending() == 0; }));

    const QList<QJsonObject> stored = sink.messages();
    ASSERT_EQ(stored.size(), 4);
    const struct {
        const char* recipient;
        QString subject;
        QString nameAndCommand;
    } rows[] = {
        {"ops@example.com", "EDITOR", "EDITOR\n/usr/bin/editor --file a.txt\n"},
        {"lead@example.com", "EDITOR", "EDITOR\n/usr/bin/editor --file a.txt\n"},
        {"ops@example.com", "ÜBERWACHUNG Ω", "ÜBERWACHUNG Ω\nwatch\n"},
        {"lead@example.com", "ÜBERWACHUNG Ω", "ÜBERWACHUNG Ω\nwatch\n"},
    };
    QSet<QString> messageIds;
    for (qsizetype i = 0; i < stored.size(); ++i) {
        const QJsonObject& message = stored[i];
        const QJsonObject parsed = message[QStringLiteral("parsed")].toObject();
        const auto& row = rows[i];
        EXPECT_EQ(message[QStringLiteral("rcpt_tos")].toArray(),
                  QJsonArray{QLatin1String(row.recipient)});
        EXPECT_EQ(message[QStringLiteral("helo")].toString(), "corpnet.example");
        EXPECT_FALSE(message[QStringLiteral("ehlo")].toBool()) << "HELO without TLS or AUTH";
        EXPECT_EQ(message[QStringLiteral("mail_from")].toString(), "Prowlix@corpnet.example");
        EXPECT_EQ(parsed[QStringLiteral("defects")].toArray(), QJsonArray{});
        EXPECT_EQ(header(message, QStringLiteral("From")), "Prowlix <Prowlix@corpnet.example>");
        EXPECT_EQ(header(message, QStringLiteral("To")), QLatin1String(row.recipient));
        EXPECT_EQ(header(message, QStringLiteral("Subject")),
                  "Monitored Task Failure Report (" + row.subject + ')');
        EXPECT_EQ(header(message, QStringLiteral("MIME-Version")), "1.0");
        EXPECT_EQ(parsed[QStringLiteral("content_type")].toString(), "text/plain");
        EXPECT_EQ(parsed[QStringLiteral("charset")].toString(), "utf-8");
        EXPECT_NEAR(parsed[QStringLiteral("date_utc")].toDouble(),
                    message[QStringLiteral("stored_at")].toDouble(), 120);
        EXPECT_TRUE(
            QRegularExpression(QStringLiteral("^Date: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), \\d\\d "
                                              "[A-Z][a-z]{2} \\d{4} \\d\\d:\\d\\d:\\d\\d "
                                              "\\+0000\r$"),
                               QRegularExpression::MultilineOption)
                .match(message[QStringLiteral("content")].toString())
                .hasMatch());
        const QString id = header(message, QStringLiteral("Message-ID"));
        EXPECT_TRUE(QRegularExpression(QStringLiteral("^<[0-9a-z.]+@corpnet\\.example>$"))
                        .match(id)
                        .hasMatch())
            << id.toStdString();
        messageIds.insert(id);
        // Line ends are the parser's; the text is the five specified lines.
        EXPECT_EQ(parsed[QStringLiteral("body")].toString().replace(QStringLiteral("\r\n"),
                                                                    QStringLiteral("\n")),
                  "Prowlix\nMonitored Task Failure Report\n" + row.nameAndCommand +
                      "Automatic restart active for this task?: " + (i < 2 ? "TRUE" : "FALSE") +
                      "\n\n\n");
    }
    EXPECT_EQ(messageIds.size(), 4);
    EXPECT_TRUE(stored[2][QStringLiteral("content")].toString().contains(
        QStringLiteral("\r\nSubject: =?UTF-8?B?")));
    EXPECT_EQ(logged(QStringLiteral(" - EMAIL ALERT: sent to (ops@example.com, lead@example.com)")),
              2);
    EXPECT_EQ(alert.sentTotal(), 2u);

    // Lines that begin with a full stop, one of them alone, must not end the data early.
    mail.ToAddress = QStringLiteral("ops@example.com");
    mail.Message = QStringLiteral(".hidden\r\n.\r\nafter the dot\r\n");
    ASSERT_TRUE(send());
    EXPECT_TRUE(mail.lastSendSucceeded()) << mail.lastError().toStdString();
    ASSERT_EQ(sink.messages().size(), 5);
    EXPECT_TRUE(sink.messages()[4][QStringLiteral("content")].toString().endsWith(
        QStringLiteral("\r\n\r\n.hidden\r\n.\r\nafter the dot\r\n\r\n\r\n")));
}

TEST_F(FailureAlertTest, WithoutServerOrRecipientNothingIsSentAndAFailedSendIsLoggedAsFailed) {
    ScriptedServer server;
    mail.SMTPPort = static_cast<qint16>(server.port());
    mail.MailServer.clear();
    alert.SendFailureAlert(1);
    mail.MailServer = QStringLiteral("127.0.0.1");
    mail.ToAddress.clear();
    alert.SendFailureAlert(1);
    EXPECT_EQ(alert.pending(), 0u);
    EXPECT_EQ(logText(), QStringLiteral("Log file is empty."));

    mail.SMTPPort = static_cast<qint16>(freeLowPort());
    mail.ToAddress = QStringLiteral("ops@example.com");
    alert.SendFailureAlert(2);
    ASSERT_TRUE(waitUntil([&] { return alert.pending() == 0; }));
    EXPECT_EQ(logged(" - EMAIL ALERT: failed (ops@example.com): SMTP_CONNECT_ERR: "), 1);
    EXPECT_EQ(logged("sent to"), 0);
    EXPECT_TRUE(server.connections().isEmpty());
    EXPECT_EQ(alert.failedTotal(), 1u);
}

// The call returns at once; the queue sends in order, one dialogue at a time.
TEST_F(FailureAlertTest, AlertsAreQueuedAndSentInTheBackgroundOneAtATime) {
    ScriptedServer server;
    server.greetingDelayMs = 100;
    mail.SMTPPort = static_cast<qint16>(server.port());
    alert.SendFailureAlert(1);
    alert.SendFailureAlert(2);
    EXPECT_EQ(alert.pending(), 2u);
    EXPECT_TRUE(server.connections().isEmpty());
    ASSERT_TRUE(waitUntil([&] { return alert.pending() == 0; }));

    ASSERT_EQ(server.connections().size(), 2);
    EXPECT_EQ(server.connections()[1]->othersOpen, 0);
    EXPECT_TRUE(
        server.connections()[0]->data.contains("Subject: Monitored Task Failure Report (EDITOR)"));
    EXPECT_TRUE(server.connections()[1]->data.contains(
        "Subject: Monitored Task Failure Report (BACKUP JOB)"));
    EXPECT_TRUE(server.connections()[1]->data.contains(
        "\r\nbackup.sh\r\nAutomatic restart active for this task?: FALSE\r\n"));
    EXPECT_EQ(logged("EMAIL ALERT: sent to (ops@example.com)"), 2);
    EXPECT_EQ(alert.sentTotal(), 2u);
    EXPECT_TRUE(waitUntil([&] { return server.connections()[1]->ended; }));
}

TEST_F(FailureAlertTest, QueueIsBoundedAndShutdownLogsEveryAlertLeft) {
    ScriptedServer mute;
    mute.greetingDelayMs = -1;
    mail.SMTPPort = static_cast<qint16>(mute.port());
    for (std::size_t i = 0; i <= FailureAlert::queueLimit + 1; ++i)
        alert.SendFailureAlert(1);
    EXPECT_EQ(alert.pending(), FailureAlert::queueLimit + 1); // the queue and the one in progress
    EXPECT_EQ(logged("EMAIL ALERT: failed (ops@example.com): queue full"), 1);
    ASSERT_TRUE(waitUntil([&] { return mute.connections().size() == 1; }));

    alert.shutDown();
    alert.SendFailureAlert(2);
    EXPECT_EQ(logged("EMAIL ALERT: failed (ops@example.com): shut down"),
              static_cast<int>(FailureAlert::queueLimit) + 2);
    EXPECT_EQ(alert.pending(), 0u);
    EXPECT_EQ(alert.failedTotal(), FailureAlert::queueLimit + 3);
    EXPECT_EQ(alert.sentTotal(), 0u);
    EXPECT_TRUE(waitUntil([&] { return mute.connections()[0]->ended; }));
}

TEST_F(FailureAlertTest, LimitHoldsBackMailsPerTaskAndTheNextOneCountsThem) {
    ScriptedServer server;
    mail.SMTPPort = static_cast<qint16>(server.port());
    qint64 now = 0;
    alert.clock = [&now] { return now; };
    alert.limitCount = 2;
    alert.limitSeconds = 60;
    for (const qint32 p : {1, 1, 1, 1, 2})
        alert.SendFailureAlert(p);
    now = 60 * 1000; // the first two have left the window
    alert.SendFailureAlert(1);
    ASSERT_TRUE(waitUntil([&] { return alert.pending() == 0; }));

    const QByteArray held = "Failures not mailed since the last alert (ALERT_LIMIT): ";
    ASSERT_EQ(server.connections().size(), 4);
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(server.connections()[i]->data.contains(held)) << i;
    EXPECT_TRUE(server.connections()[2]->data.contains("(BACKUP JOB)"));
    EXPECT_TRUE(server.connections()[3]->data.contains(
        QByteArray("Automatic restart active for this task?: TRUE\r\n" + held + "2\r\n")));
}

// The whole monitor with real tasks: a mail server that accepts and never answers holds up no
// restart, and shutdown accounts for the alerts it held.
TEST(FailureAlertMonitorTest, MuteMailServerDelaysNoRestart) {
    QTcpServer mute; // the system accepts its connections; nobody ever answers
    ASSERT_TRUE(mute.listen(QHostAddress::LocalHost, freeLowPort()));
    QTemporaryDir dir;
    const QString ini = dir.filePath(QStringLiteral("mail.ini"));
    ASSERT_TRUE(testsupport::writeFile(
        ini, QStringLiteral("SMTP_SERVER=127.0.0.1\nSMTP_PORT=%1\nSMTP_TO=ops@example.com\n"
                            "start=sleep 3600,A,,True\nstart=sleep 3600,B,,True\n")
                 .arg(mute.serverPort())
                 .toUtf8()));
    HeadlessView view;
    PosixProcessControl processes;
    Monitor monitor(view, processes,
                    QStringLiteral("/P:%1 /I:%2").arg(testsupport::freePort()).arg(ini),
                    ProgramInfo{dir.path(), QStringLiteral("prowlix")});
    monitor.quit = [] {};
    monitor.startUp();
    const auto logText = [&] {
        return testsupport::readFile(monitor.eventLog().LogFileName(QDate::currentDate()));
    };
    ASSERT_EQ(monitor.tasks().upperBound(), 2);
    for (const int p : {1, 2, 1}) {
        const int restarts = static_cast<int>(logText().count(QStringLiteral("RE-START: ")));
        ::kill(monitor.tasks()[p].ProcessId, SIGKILL);
        EXPECT_TRUE(
            waitUntil([&] { return logText().count(QStringLiteral("RE-START: ")) == restarts + 1; },
                      std::chrono::seconds(2)))
            << "task " << p;
    }
    EXPECT_EQ(monitor.failureAlert().pending(), 3u);
    monitor.ShutDownMonitor();
    EXPECT_EQ(logText().count(QStringLiteral("EMAIL ALERT: failed (ops@example.com): shut down")),
              3);
    EXPECT_LT(logText().lastIndexOf(QStringLiteral("shut down")),
              logText().indexOf(QStringLiteral("SYSTEM STOPPED (")));
    for (int p = 1; p <= 2; ++p)
        ::kill(monitor.tasks()[p].ProcessId, SIGKILL);
}

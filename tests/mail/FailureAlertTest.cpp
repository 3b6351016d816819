#include "FailureAlert.h"

#include "Log.h"
#include "MailServers.h"
#include "TaskTable.h"
#include "TestSupport.h"

#include <QDate>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QRegularExpression>
#include <QTimer>
#include <gtest/gtest.h>

using testsupport::waitUntil;

namespace {

class FailureAlertTest : public MailTest {
  protected:
    FailureAlertTest() {
        log.LogActivity = true;
        addTask(QStringLiteral("Editor"), QStringLiteral("/usr/bin/editor --file a.txt"), true);
        addTask(QStringLiteral("backup job"), QStringLiteral("backup.sh"), false);
        mail.ToAddress = QStringLiteral("ops@example.com");
    }

    void addTask(const QString& name, const QString& command, bool autoRestart) {
        TaskRecord& task = tasks.add();
        task.TaskName = name;
        task.PathAndFile = command;
        task.AutoRestart = autoRestart;
    }

    QString logText() { return log.LogContents(QDate::currentDate()); }

    QTemporaryDir logDir;
    TaskTable tasks;
    Log log{ProgramInfo{logDir.path(), QStringLiteral("Prowlix")}};
    FailureAlert alert{tasks, mail, log};
};

} // namespace

TEST_F(FailureAlertTest, RealServerStoresOneCompleteMessagePerRecipientWithDotLinesIntact) {
    SinkServer sink;
    ASSERT_TRUE(sink.ready());
    mail.SMTPPort = static_cast<qint16>(sink.port());
    mail.ToAddress = QStringLiteral("ops@example.com;lead@example.com");
    alert.SendFailureAlert(1);

    ASSERT_TRUE(waitUntil([&] { return sink.messages().size() == 2; }));
    const QList<QJsonObject> stored = sink.messages();
    EXPECT_EQ(stored[0][QStringLiteral("rcpt_tos")].toArray(),
              QJsonArray{QStringLiteral("ops@example.com")});
    EXPECT_EQ(stored[1][QStringLiteral("rcpt_tos")].toArray(),
              QJsonArray{QStringLiteral("lead@example.com")});
    for (const QJsonObject& message : stored) {
        EXPECT_EQ(message[QStringLiteral("helo")].toString(), QStringLiteral("corpnet.example"));
        EXPECT_EQ(message[QStringLiteral("mail_from")].toString(),
                  QStringLiteral("Prowlix@corpnet.example"));
        const QString content = message[QStringLiteral("content")].toString();
        const QRegularExpression headers(QStringLiteral(
            "^From: Prowlix\r\nDate: \\d\\d-\\w{3}-\\d{4} \\d\\d:\\d\\d:\\d\\d GMT\r\n"
            "X-Mailer: Prowlix \\d+\\.\\d+\\.\\d+\r\nTo: \r\n"
            "Subject: Monitored Task Failure Report \\(EDITOR\\)\r\n\r\n"));
        EXPECT_TRUE(headers.match(content).hasMatch()) << content.toStdString();
        EXPECT_TRUE(content.endsWith(
            QStringLiteral("\r\n\r\nProwlix\r\nMonitored Task Failure Report\r\nEDITOR\r\n"
                           "/usr/bin/editor --file a.txt\r\n"
                           "Automatic restart active for this task?: TRUE\r\n\r\n\r\n")))
            << content.toStdString();
    }
    EXPECT_TRUE(logText().contains(
        QStringLiteral(" - EMAIL ALERT: sent to (ops@example.com;lead@example.com)\r\n")));

    // Lines that begin with a full stop, one of them alone, must not end the data early.
    mail.ToAddress = QStringLiteral("ops@example.com");
    mail.Message = QStringLiteral(".hidden\r\n.\r\nafter the dot\r\n");
    mail.Send();
    EXPECT_TRUE(mail.lastSendSucceeded()) << mail.lastError().toStdString();
    ASSERT_TRUE(waitUntil([&] { return sink.messages().size() == 3; }));
    EXPECT_TRUE(sink.messages()[2][QStringLiteral("content")].toString().endsWith(
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
    EXPECT_TRUE(mail.Subject.isEmpty());
    EXPECT_TRUE(server.connections().isEmpty());
    EXPECT_EQ(logText(), QStringLiteral("Log file is empty."));

    mail.TimeOut = 1;
    mail.SMTPPort = static_cast<qint16>(freeLowPort());
    mail.ToAddress = QStringLiteral("ops@example.com");
    alert.SendFailureAlert(2);
    const QString text = logText();
    EXPECT_TRUE(
        text.contains(QStringLiteral(" - EMAIL ALERT: failed (ops@example.com): SMTP_CONNECT_ERR")))
        << text.toStdString();
    EXPECT_FALSE(text.contains(QStringLiteral("sent to")));
}

TEST_F(FailureAlertTest, AlertDuringASlowSendIsQueuedAndSentAfterIt) {
    ScriptedServer server;
    server.greetingDelayMs = 2000;
    mail.SMTPPort = static_cast<qint16>(server.port());

    // A second failure is handled while the first alert waits for the greeting.
    int ticks = 0;
    qint64 nestedCallMs = -1;
    std::size_t queuedDuringSend = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        if (++ticks == 3) {
            QElapsedTimer timer;
            timer.start();
            alert.SendFailureAlert(2);
            nestedCallMs = timer.elapsed();
            queuedDuringSend = alert.pending();
        }
    });
    tick.start(100);
    alert.SendFailureAlert(1);

    EXPECT_GE(ticks, 15);
    EXPECT_EQ(queuedDuringSend, 1u);
    EXPECT_LT(nestedCallMs, 500);
    EXPECT_EQ(alert.pending(), 0u);
    ASSERT_EQ(server.connections().size(), 2);
    EXPECT_TRUE(
        server.connections()[0]->data.contains("Subject: Monitored Task Failure Report (EDITOR)"));
    EXPECT_TRUE(server.connections()[0]->data.contains("\r\nEDITOR\r\n"));
    EXPECT_TRUE(server.connections()[1]->data.contains(
        "Subject: Monitored Task Failure Report (BACKUP JOB)"));
    EXPECT_TRUE(server.connections()[1]->data.contains(
        "\r\nbackup.sh\r\nAutomatic restart active for this task?: FALSE\r\n"));
    EXPECT_EQ(logText().count(QStringLiteral("EMAIL ALERT: sent to (ops@example.com)")), 2);
}

#include "MailServers.h"
#include "TestSupport.h"
#include "core/FailureAlert.h"
#include "log/Log.h"
#include "mail/SMTPClient.h"
#include "tasks/TaskTable.h"

#include <QJsonArray>
#include <gtest/gtest.h>

// Line breaks in the task's name and path (a program file name may hold them) reach the message
// as one header line each: no added header, recipient or SMTP command. (The recipient's name is
// the message's: MailMessageTest.)
TEST(SecurityTest, TaskNameCannotAddMailHeadersOrCommands) {
    SinkServer sink;
    ASSERT_TRUE(sink.ready());
    QTemporaryDir logDir;
    SMTPClient mail;
    mail.MailServer = "127.0.0.1";
    mail.SMTPPort = static_cast<qint16>(sink.port());
    mail.TimeOut = 5;
    mail.ToAddress = "ops@example.org";
    TaskTable tasks;
    TaskRecord& task = tasks.add();
    task.TaskName = "web\r\nBcc: victim@evil.example\r\nRCPT TO:<x@evil.example>\r\n.\r\n";
    task.PathAndFile = "/srv/web\r\nQUIT\r\n";
    Log log(ProgramInfo{logDir.path(), "Prowlix"});
    FailureAlert alert(tasks, mail, log);
    alert.SendFailureAlert(1);

    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return sink.messages().size() == 1 && alert.pending() == 0; }));
    EXPECT_TRUE(mail.lastSendSucceeded()) << qPrintable(mail.lastError());
    const QJsonObject stored = sink.messages().first();
    EXPECT_EQ(stored["rcpt_tos"].toArray(), QJsonArray{"ops@example.org"});
    const QString content = stored["content"].toString();
    const QStringList headers = content.left(content.indexOf("\r\n\r\n")).split("\r\n");
    QStringList names;
    for (const QString& line : headers)
        names << line.section(':', 0, 0);
    EXPECT_EQ(names, (QStringList{"From", "Date", "Message-ID", "X-Mailer", "To", "Subject",
                                  "MIME-Version", "Content-Type", "Content-Transfer-Encoding"}))
        << qPrintable(headers.join('|'));
    EXPECT_EQ(headers.value(4), "To: ops@example.org");
    EXPECT_EQ(headers.value(5), "Subject: Monitored Task Failure Report (WEB  BCC: "
                                "VICTIM@EVIL.EXAMPLE  RCPT TO:<X@EVIL.EXAMPLE>  .  )");
    // The text keeps its lines; the lone "." among them did not end the data early.
    EXPECT_TRUE(content.contains("/srv/web\r\nQUIT\r\n"));
}

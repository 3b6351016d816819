#include "FailureAlert.h"
#include "Log.h"
#include "MailServers.h"
#include "MonitorProcess.h"
#include "SMTPClient.h"
#include "TaskTable.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QTcpSocket>
#include <gtest/gtest.h>

using testsupport::MonitorProcess;
using testsupport::portArgument;
using testsupport::waitUntil;

namespace {

// The header block of a stored message, one entry per line.
QStringList headerLines(const QString& content) {
    const qsizetype end = content.indexOf(QStringLiteral("\r\n\r\n"));
    return content.left(end).split(QStringLiteral("\r\n"));
}

} // namespace

// A command is split into program and arguments by blanks and quotes only: separators,
// substitutions and redirections reach the program as literal text.
TEST(SecurityTest, TaskCommandRunsNoShell) {
    QTemporaryDir marks;
    ASSERT_TRUE(marks.isValid());
    const QString command =
        QStringLiteral("/usr/bin/touch %1a;b %1$(id) %1`id` %1c>e").arg(marks.path() + u'/');
    const quint16 port = testsupport::freePort();
    MonitorProcess monitor;
    monitor.start({QStringLiteral("/NOGUI"), portArgument(port), command});
    ASSERT_TRUE(monitor.waitForLog(QStringLiteral("TASK FAILURE: c>e (")))
        << qPrintable(monitor.log());
    // touch has exited, so every file it would ever create is there, each named literally.
    QStringList made = QDir(marks.path()).entryList(QDir::Files);
    made.sort();
    QStringList literal{QStringLiteral("$(id)"), QStringLiteral("`id`"), QStringLiteral("a;b"),
                        QStringLiteral("c>e")};
    literal.sort();
    EXPECT_EQ(made, literal) << qPrintable(made.join(QLatin1Char('|')));
    EXPECT_TRUE(monitor.stop());
}

// A task name with line breaks (a program file name may hold them) stays on its own log line.
TEST(SecurityTest, TaskNameCannotForgeLogLines) {
    QTemporaryDir programs;
    ASSERT_TRUE(programs.isValid());
    const QString link = programs.path() + QStringLiteral("/crash\r\n01.01.2000-FORGED-EVENT");
    ASSERT_TRUE(QFile::link(QStringLiteral("/bin/false"), link));
    const quint16 port = testsupport::freePort();
    MonitorProcess monitor;
    monitor.start({QStringLiteral("/NOGUI"), portArgument(port), link});
    ASSERT_TRUE(monitor.waitForLog(QStringLiteral("TASK FAILURE: crash")))
        << qPrintable(monitor.log());
    ASSERT_TRUE(monitor.stop());
    const QStringList lines = monitor.log().split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        EXPECT_FALSE(line.startsWith(QStringLiteral("01.01.2000"))) << qPrintable(line);
        EXPECT_FALSE(line.contains(QLatin1Char('\r')) || line.contains(QLatin1Char('\n')));
    }
    EXPECT_TRUE(
        monitor.log().contains(QStringLiteral("TASK FAILURE: crash  01.01.2000-FORGED-EVENT (")));
}

// A task name with line breaks reaches the subject as one line: no added header, recipient or
// SMTP command.
TEST(SecurityTest, TaskNameCannotAddMailHeadersOrCommands) {
    SinkServer sink;
    ASSERT_TRUE(sink.ready());
    QTemporaryDir logDir;
    HostSource source;
    source.hostName = [] { return QStringLiteral("box"); };
    source.resolverConfig = [] { return QByteArray("domain example.org\n"); };
    IPInfo host(source);
    SMTPClient mail;
    mail.setHostInfo(&host);
    mail.MailServer = QStringLiteral("127.0.0.1");
    mail.SMTPPort = static_cast<qint16>(sink.port());
    mail.TimeOut = 5;
    mail.ToAddress = QStringLiteral("ops@example.org");
    mail.ToName = QStringLiteral("Ops\nCc: cc@evil.example");
    TaskTable tasks;
    TaskRecord& task = tasks.add();
    task.TaskName =
        QStringLiteral("web\r\nBcc: victim@evil.example\r\nRCPT TO:<x@evil.example>\r\n.\r\n");
    task.PathAndFile = QStringLiteral("/srv/web\r\nQUIT\r\n");
    Log log(ProgramInfo{logDir.path(), QStringLiteral("Prowlix")});
    FailureAlert alert(tasks, mail, log);
    alert.SendFailureAlert(1);

    ASSERT_TRUE(waitUntil([&] { return sink.messages().size() == 1 && alert.pending() == 0; }));
    EXPECT_TRUE(mail.lastSendSucceeded()) << qPrintable(mail.lastError());
    const QJsonObject stored = sink.messages().first();
    EXPECT_EQ(stored[QStringLiteral("rcpt_tos")].toArray(),
              QJsonArray{QStringLiteral("ops@example.org")});
    const QStringList headers = headerLines(stored[QStringLiteral("content")].toString());
    QStringList names;
    for (const QString& line : headers)
        names << line.section(QLatin1Char(':'), 0, 0);
    EXPECT_EQ(names, (QStringList{QStringLiteral("From"), QStringLiteral("Date"),
                                  QStringLiteral("Message-ID"), QStringLiteral("X-Mailer"),
                                  QStringLiteral("To"), QStringLiteral("Subject"),
                                  QStringLiteral("MIME-Version"), QStringLiteral("Content-Type"),
                                  QStringLiteral("Content-Transfer-Encoding")}))
        << qPrintable(headers.join(QLatin1Char('|')));
    // The name with a colon goes as an encoded word, which no parser reads as a header.
    EXPECT_EQ(headers.value(4), QStringLiteral("To: =?UTF-8?B?T3BzIENjOiBjY0BldmlsLmV4YW1wbGU=?= "
                                               "<ops@example.org>"))
        << qPrintable(headers.value(4));
    EXPECT_EQ(
        headers.value(5),
        QStringLiteral("Subject: Monitored Task Failure Report (WEB  BCC: VICTIM@EVIL.EXAMPLE  "
                       "RCPT TO:<X@EVIL.EXAMPLE>  .  )"))
        << qPrintable(headers.value(5));
    // The text keeps its lines; the lone "." among them did not end the data early.
    EXPECT_TRUE(stored[QStringLiteral("content")].toString().contains(
        QStringLiteral("/srv/web\r\nQUIT\r\n")));
}

// The status port answers every client the same, whatever it sends, and never echoes it.
TEST(SecurityTest, StatusPortNeverEchoesClientData) {
    const quint16 port = testsupport::freePort();
    MonitorProcess monitor;
    monitor.start({QStringLiteral("/NOGUI"), portArgument(port)});
    ASSERT_TRUE(monitor.waitForLog(QStringLiteral("PORT: ")));
    const QByteArray junk =
        QByteArray("GET / HTTP/1.0\r\nECHO-ME ").repeated(20) + QByteArray(1, '\0');
    for (int i = 0; i < 20; ++i) {
        QTcpSocket client;
        client.connectToHost(QStringLiteral("127.0.0.1"), port);
        ASSERT_TRUE(client.waitForConnected(5000));
        client.write(junk);
        QByteArray received;
        while (client.state() == QAbstractSocket::ConnectedState && client.waitForReadyRead(5000))
            received += client.readAll();
        received += client.readAll();
        // An unread request may make the close a reset that discards the answer; never more.
        EXPECT_TRUE(received == "SERVICES UP" || received.isEmpty()) << received.constData();
    }
    EXPECT_EQ(testsupport::probePort(port).data, QByteArray("SERVICES UP"));
    EXPECT_TRUE(monitor.stop());
}

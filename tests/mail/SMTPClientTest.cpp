#include "SMTPClient.h"

#include "MailServers.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

using testsupport::waitUntil;

namespace {

class SMTPClientTest : public MailTest {
  protected:
    SMTPClientTest() {
        mail.SMTPPort = static_cast<qint16>(server.port());
        mail.FromAddress = QStringLiteral("Prowlix@test.example");
        mail.Subject = QStringLiteral("Subject");
        mail.Message = QStringLiteral("line one\r\n");
    }

    ScriptedServer server;
};

} // namespace

TEST_F(SMTPClientTest, OneDialoguePerRecipientWithBracketedEnvelope) {
    mail.TimeOut = 0;
    mail.ToAddress = QStringLiteral("  bad@example.com ; good@example.com;; ;");
    mail.FromAddress = QStringLiteral(" Prowlix@test.example ");
    server.replyFor = [](const QByteArray& command, const QByteArray& line) -> QByteArray {
        if (command == "HELO")
            return "250-first\r\n250-second\r\n250 last\r\n"; // passes on its first code
        if (command == "RCPT" && line.contains("bad@"))
            return "550 no such user\r\n";
        return ScriptedServer::standardReply(command);
    };
    mail.Send();
    EXPECT_EQ(mail.Status, QStringLiteral("disconnected"));
    EXPECT_EQ(mail.TimeOut, 60);
    ASSERT_EQ(server.connections().size(), 2);
    // Nothing more is sent after a refusal, the socket is closed and the next recipient tried.
    const auto& refused = *server.connections()[0];
    EXPECT_EQ(refused.lines,
              (QList<QByteArray>{"HELO corpnet.example", "MAIL FROM:<Prowlix@test.example>",
                                 "RCPT TO:<bad@example.com>"}));
    EXPECT_TRUE(waitUntil([&] { return refused.ended; }));
    EXPECT_EQ(server.connections()[1]->lines,
              (QList<QByteArray>{"HELO corpnet.example", "MAIL FROM:<Prowlix@test.example>",
                                 "RCPT TO:<good@example.com>", "DATA", ".", "QUIT"}));
    EXPECT_TRUE(server.connections()[1]->data.contains("To: \r\nSubject: Subject\r\n\r\n"));
    // One failed dialogue fails the whole Send, with the server's reply as the reason.
    EXPECT_FALSE(mail.lastSendSucceeded());
    EXPECT_TRUE(mail.lastError().startsWith(QStringLiteral("SMTP_ERR:550 no such user")));

    mail.ToAddress = QStringLiteral(" ; ;");
    mail.Send();
    EXPECT_EQ(mail.lastError(), QStringLiteral("Send aborted due to incomplete messaging values"));
    EXPECT_EQ(server.connections().size(), 2);
}

TEST_F(SMTPClientTest, SilentDroppedAndRefusedServersFailStrictlyAfterTheTimeOut) {
    mail.TimeOut = 1;
    const auto failsAfterTimeOut = [&](const char* error) {
        QElapsedTimer timer;
        timer.start();
        mail.Send();
        EXPECT_GT(static_cast<double>(timer.nsecsElapsed()) / 1e9, 1.0) << error;
        EXPECT_EQ(mail.lastError(), QLatin1String(error));
    };
    mail.ToAddress = QStringLiteral("a@example.com;b@example.com");
    server.dropAfter = "MAIL";
    failsAfterTimeOut("SMTP_TIMEOUT");
    ASSERT_EQ(server.connections().size(), 2);
    EXPECT_EQ(server.connections()[1]->lines.last(),
              QByteArray("MAIL FROM:<Prowlix@test.example>"));

    // A reply that mentions the code only after another code is no answer.
    mail.ToAddress = QStringLiteral("ops@example.com");
    server.replyFor = [](const QByteArray& command, const QByteArray&) -> QByteArray {
        return command == "HELO" ? "500 say 250 please\r\n" : "250 ok\r\n";
    };
    failsAfterTimeOut("SMTP_TIMEOUT");
    EXPECT_EQ(server.connections().back()->lines.size(), 1);

    server.greetingDelayMs = -1; // never greets
    failsAfterTimeOut("SMTP_TIMEOUT");
    EXPECT_TRUE(server.connections().back()->lines.isEmpty());
    EXPECT_TRUE(waitUntil([&] { return server.connections().back()->ended; }));

    mail.SMTPPort = static_cast<qint16>(freeLowPort());
    failsAfterTimeOut("SMTP_CONNECT_ERR");

    // Only 0 means the default: a negative time-out stays and fails the connection wait at once.
    mail.SMTPPort = 0;
    mail.TimeOut = -1;
    mail.Send();
    EXPECT_EQ(mail.SMTPPort, 25);
    EXPECT_EQ(mail.TimeOut, -1);
    EXPECT_EQ(mail.lastError(), QStringLiteral("SMTP_CONNECT_ERR"));
}

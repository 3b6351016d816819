#include "SMTPClient.h"

#include "MailServers.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

namespace {

class SMTPClientTest : public ::testing::Test {
  protected:
    SMTPClientTest() : host(makeSource()) {
        mail.setHostInfo(&host);
        mail.MailServer = QStringLiteral("127.0.0.1");
        mail.FromAddress = QStringLiteral("Prowlix@test.example");
        mail.ToAddress = QStringLiteral("ops@example.com");
        mail.Subject = QStringLiteral("Subject");
        mail.Message = QStringLiteral("line one\r\n");
        mail.TimeOut = 5;
    }

    static HostSource makeSource() {
        HostSource source;
        source.hostName = [] { return QStringLiteral("box"); };
        source.resolverConfig = [] { return QByteArray("domain test.example\n"); };
        return source;
    }

    // Sends and returns the seconds the Send took.
    double timedSend() {
        QElapsedTimer timer;
        timer.start();
        mail.Send();
        return static_cast<double>(timer.nsecsElapsed()) / 1e9;
    }

    IPInfo host;
    SMTPClient mail;
    ScriptedServer server;
};

} // namespace

TEST_F(SMTPClientTest, FullDialogueWithMendedEnvelopeAndKeptDefaults) {
    mail.SMTPPort = static_cast<qint16>(server.port());
    mail.TimeOut = 0;
    mail.ToAddress = QStringLiteral("  ops@example.com ");
    mail.FromAddress = QStringLiteral(" Prowlix@test.example ");
    server.replyFor = [](const QByteArray& command, const QByteArray&) -> QByteArray {
        if (command == "HELO") {
            return "250-first\r\n250-second\r\n250 last\r\n"; // passes on its first code
        }
        return ScriptedServer::standardReply(command);
    };
    mail.Send();
    EXPECT_TRUE(mail.lastSendSucceeded()) << mail.lastError().toStdString();
    EXPECT_EQ(mail.Status, QStringLiteral("disconnected"));
    EXPECT_EQ(mail.TimeOut, 60);
    ASSERT_EQ(server.connections().size(), 1);
    EXPECT_EQ(server.connections()[0]->lines,
              (QList<QByteArray>{"HELO test.example", "MAIL FROM:<Prowlix@test.example>",
                                 "RCPT TO:<ops@example.com>", "DATA", ".", "QUIT"}));
    EXPECT_TRUE(server.connections()[0]->data.contains("To: \r\nSubject: Subject\r\n\r\n"));
}

TEST_F(SMTPClientTest, RecipientListGivesValidEnvelopesOnly) {
    mail.SMTPPort = static_cast<qint16>(server.port());
    mail.ToAddress = QStringLiteral("a@example.com; b@example.com;; ;");
    mail.Send();
    EXPECT_TRUE(mail.lastSendSucceeded());
    ASSERT_EQ(server.connections().size(), 2);
    EXPECT_EQ(server.connections()[0]->lines.at(2), QByteArray("RCPT TO:<a@example.com>"));
    EXPECT_EQ(server.connections()[1]->lines.at(2), QByteArray("RCPT TO:<b@example.com>"));
    for (const auto& connection : server.connections()) {
        EXPECT_EQ(connection->lines.first(), QByteArray("HELO test.example"));
        EXPECT_EQ(connection->lines.last(), QByteArray("QUIT"));
    }

    mail.ToAddress = QStringLiteral(" ; ;");
    mail.Send();
    EXPECT_EQ(mail.lastError(), QStringLiteral("Send aborted due to incomplete messaging values"));
    EXPECT_EQ(server.connections().size(), 2);
}

TEST_F(SMTPClientTest, ErrorReplyEndsTheDialogueAndTheNextRecipientIsTried) {
    mail.SMTPPort = static_cast<qint16>(server.port());
    mail.ToAddress = QStringLiteral("bad@example.com;good@example.com");
    server.replyFor = [](const QByteArray& command, const QByteArray& line) -> QByteArray {
        if (command == "RCPT" && line.contains("bad@")) {
            return "550 no such user\r\n";
        }
        return ScriptedServer::standardReply(command);
    };
    mail.Send();
    ASSERT_EQ(server.connections().size(), 2);
    // Nothing more was sent after the refusal, and the socket was closed.
    EXPECT_EQ(server.connections()[0]->lines.last(), QByteArray("RCPT TO:<bad@example.com>"));
    EXPECT_TRUE(testsupport::waitUntil([&] { return server.connections()[0]->ended; }));
    EXPECT_EQ(server.connections()[1]->lines.last(), QByteArray("QUIT"));
    // One failed dialogue makes the whole Send a failure, with the server's reply as reason.
    EXPECT_FALSE(mail.lastSendSucceeded());
    EXPECT_TRUE(mail.lastError().startsWith(QStringLiteral("SMTP_ERR:550 no such user")));
}

TEST_F(SMTPClientTest, TimeOutsAreStrictlyLongerThanTheSetting) {
    mail.SMTPPort = static_cast<qint16>(server.port());
    mail.TimeOut = 1;

    // A reply that mentions the code only after another code is no answer: it times out.
    server.replyFor = [](const QByteArray& command, const QByteArray&) -> QByteArray {
        return command == "HELO" ? "500 say 250 please\r\n" : "250 ok\r\n";
    };
    EXPECT_GT(timedSend(), 1.0);
    EXPECT_EQ(mail.lastError(), QStringLiteral("SMTP_TIMEOUT"));
    EXPECT_EQ(server.connections().back()->lines.size(), 1);

    // A server that never greets.
    server.greetingDelayMs = -1;
    EXPECT_GT(timedSend(), 1.0);
    EXPECT_EQ(mail.lastError(), QStringLiteral("SMTP_TIMEOUT"));
    EXPECT_TRUE(server.connections().back()->lines.isEmpty());
    EXPECT_TRUE(testsupport::waitUntil([&] { return server.connections().back()->ended; }));
}

TEST_F(SMTPClientTest, RefusedAndDroppedConnectionsFailAndTheNextRecipientIsTried) {
    mail.TimeOut = 1;
    mail.SMTPPort = static_cast<qint16>(freeLowPort());
    EXPECT_GT(timedSend(), 1.0);
    EXPECT_EQ(mail.lastError(), QStringLiteral("SMTP_CONNECT_ERR"));

    // Only 0 means the default: a negative time-out stays and fails the connection wait at once.
    mail.SMTPPort = 0;
    mail.TimeOut = -1;
    mail.Send();
    EXPECT_EQ(mail.SMTPPort, 25);
    EXPECT_EQ(mail.TimeOut, -1);
    EXPECT_EQ(mail.lastError(), QStringLiteral("SMTP_CONNECT_ERR"));

    mail.TimeOut = 1;
    mail.SMTPPort = static_cast<qint16>(server.port());
    mail.ToAddress = QStringLiteral("a@example.com;b@example.com");
    server.dropAfter = "MAIL";
    mail.Send();
    EXPECT_EQ(mail.lastError(), QStringLiteral("SMTP_TIMEOUT"));
    ASSERT_EQ(server.connections().size(), 2);
    EXPECT_EQ(server.connections()[1]->lines.last(),
              QByteArray("MAIL FROM:<Prowlix@test.example>"));
}

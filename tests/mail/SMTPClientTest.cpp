#include "SMTPClient.h"

#include "MailServers.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QJsonValue>
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
        mail.ToAddress = QStringLiteral("ops@example.com");
    }

    ScriptedServer server;
};

} // namespace

TEST_F(SMTPClientTest, OneDialoguePerRecipientWithBracketedEnvelope) {
    mail.TimeOut = 0;
    mail.ToAddress = QStringLiteral("  bad@example.com , not-an-address;good@example.com;; ,");
    mail.FromAddress = QStringLiteral(" Prowlix@test.example ");
    server.replyFor = [](const QByteArray& command, const QByteArray& line) -> QByteArray {
        if (command == "RCPT" && line.contains("bad@"))
            return "550 no such user\r\n";
        return ScriptedServer::standardReply(command);
    };
    ASSERT_TRUE(send());
    EXPECT_EQ(mail.Status, QStringLiteral("disconnected"));
    EXPECT_EQ(mail.TimeOut, 60);
    // The malformed piece gets no connection; nothing more is sent after a refusal.
    ASSERT_EQ(server.connections().size(), 2);
    EXPECT_EQ(server.connections()[0]->lines,
              (QList<QByteArray>{"HELO corpnet.example", "MAIL FROM:<Prowlix@test.example>",
                                 "RCPT TO:<bad@example.com>"}));
    EXPECT_EQ(server.connections()[1]->lines,
              (QList<QByteArray>{"HELO corpnet.example", "MAIL FROM:<Prowlix@test.example>",
                                 "RCPT TO:<good@example.com>", "DATA", ".", "QUIT"}));
    EXPECT_TRUE(server.connections()[1]->data.contains("\r\nTo: good@example.com\r\n"));
    // One failed dialogue fails the whole Send, with the last failure as the reason.
    EXPECT_FALSE(mail.lastSendSucceeded());
    EXPECT_EQ(mail.lastError(),
              QStringLiteral("SMTP_ADDRESS_ERR: 'not-an-address' is not a mail address"));

    mail.ToAddress = QStringLiteral(" ; ,");
    ASSERT_TRUE(send());
    EXPECT_EQ(mail.lastError(), QStringLiteral("Send aborted due to incomplete messaging values"));
    EXPECT_EQ(server.connections().size(), 2);
}

// Replies count once whole, however they are cut into segments; each dialogue's socket is
// released as soon as it ends. No row may wait for the time-out.
TEST_F(SMTPClientTest, RepliesAreJudgedWholeAndDeliveryCountsFromTheDataReply) {
    const QByteArray ok = ScriptedServer::standardReply("HELO");
    const struct {
        const char* name;
        QByteArray greeting;
        QByteArray command; // whose reply is replaced
        QByteArray reply;
        QByteArray dropAfter;
        QString error; // empty: sent
    } rows[] = {
        {"two-part greeting",
         "220-mx ESMTP\r\n\x01"
         "220 mx ESMTP\r\n",
         "", "", "", ""},
        {"reply split inside code and text", "", "HELO",
         "25\x01"
         "0 o\x01k\r\n",
         "", ""},
        {"multi-line refusal kept whole", "", "MAIL",
         "550-no\r\n\x01"
         "550 really not\r\n",
         "", "SMTP_ERR:550-no\r\n550 really not"},
        {"other code naming the awaited one", "", "HELO", "500 say 250 please\r\n", "",
         "SMTP_ERR:500 say 250 please"},
        {"hang-up instead of 221", "", "", "", "QUIT", ""},
        {"wrong reply instead of 221", "", "QUIT", "500 what\r\n", "", ""},
        {"hang-up before delivery", "", "", "", "MAIL",
         "SMTP_ERR:the server closed the connection"},
        {"oversized reply", "", "HELO", "550 " + QByteArray(1 << 20, 'x') + "\r\n", "",
         "SMTP_ERR:550 " + QString(508, u'x')},
        {"oversized multi-line reply", "", "HELO",
         QByteArray("250-" + QByteArray(5000, 'y') + "\r\n").repeated(300) + ok, "", ""},
    };
    mail.TimeOut = 60;
    for (const auto& row : rows) {
        ScriptedServer scripted;
        if (!row.greeting.isEmpty())
            scripted.greeting = row.greeting;
        scripted.dropAfter = row.dropAfter;
        scripted.replyFor = [&row](const QByteArray& command, const QByteArray&) {
            return command == row.command ? row.reply : ScriptedServer::standardReply(command);
        };
        mail.SMTPPort = static_cast<qint16>(scripted.port());
        ASSERT_TRUE(send()) << row.name;
        EXPECT_EQ(mail.lastError(), row.error) << row.name;
        ASSERT_EQ(scripted.connections().size(), 1) << row.name;
        EXPECT_TRUE(
            waitUntil([&] { return scripted.connections()[0]->ended; }, std::chrono::seconds(2)))
            << row.name;
    }
}

TEST_F(SMTPClientTest, SilentRefusingAndNegativeTimeOutsFail) {
    mail.TimeOut = 1;
    server.greetingDelayMs = -1; // never greets
    QElapsedTimer timer;
    timer.start();
    ASSERT_TRUE(send());
    EXPECT_GT(static_cast<double>(timer.nsecsElapsed()) / 1e9, 1.0) << "strictly after 1 s";
    EXPECT_EQ(mail.lastError(), QStringLiteral("SMTP_TIMEOUT"));
    EXPECT_TRUE(waitUntil([&] { return server.connections().back()->ended; }));

    // A refusal is known at once; waiting for the time-out would only hold up later alerts.
    mail.TimeOut = 60;
    mail.SMTPPort = static_cast<qint16>(freeLowPort());
    ASSERT_TRUE(send());
    EXPECT_EQ(mail.lastError(), QStringLiteral("SMTP_CONNECT_ERR: Connection refused"));

    // Only 0 means the default: a negative time-out stays and fails the connection wait at once.
    mail.SMTPPort = 0;
    mail.TimeOut = -1;
    ASSERT_TRUE(send());
    EXPECT_EQ(mail.SMTPPort, 25);
    EXPECT_EQ(mail.TimeOut, -1);
    EXPECT_EQ(mail.lastError(), QStringLiteral("SMTP_CONNECT_ERR"));
}

// TLS and authentication against real servers; the password appears in no text.
TEST_F(SMTPClientTest, TlsAndAuthenticationAgainstRealServers) {
    using Security = SMTPClient::Security;
    const QString user = QStringLiteral("bob");
    const QString secret = QStringLiteral("s3cret-Pa55");
    SinkServer starttlsRequired({Security::StartTls, true, user, secret});
    SinkServer loginOnly({Security::StartTls, false, user, secret, {QStringLiteral("LOGIN")}});
    SinkServer implicitTls({Security::Tls, false, user, secret});
    SinkServer plain;
    for (const SinkServer* sink : {&starttlsRequired, &loginOnly, &implicitTls, &plain})
        ASSERT_TRUE(sink->ready());

    QTemporaryDir dir;
    const QString passwordFile = dir.filePath(QStringLiteral("password"));
    ASSERT_TRUE(testsupport::writeFile(passwordFile, secret.toUtf8() + "\nsecond line\n"));
    mail.ErrorLog = std::make_unique<Log>(ProgramInfo{dir.path(), QStringLiteral("prowlix")});
    mail.errorLog().LogActivity = true;
    const QList<QSslCertificate> authority =
        QSslCertificate::fromPath(testCertificate().certificate);
    ASSERT_EQ(authority.size(), 1);

    const struct {
        const char* name;
        const SinkServer& sink;
        Security security;
        bool trusted;
        QString password;
        QString passwordFile;
        const char* error; // a prefix; empty: sent
    } rows[] = {
        {"STARTTLS, no authentication", starttlsRequired, Security::StartTls, true, "", "", ""},
        {"STARTTLS and AUTH PLAIN", starttlsRequired, Security::StartTls, true, secret, "", ""},
        {"AUTH LOGIN when only it is offered", loginOnly, Security::StartTls, true, secret, "", ""},
        {"implicit TLS and AUTH", implicitTls, Security::Tls, true, secret, "", ""},
        {"first line of the password file", starttlsRequired, Security::StartTls, true, "",
         passwordFile, ""},
        {"refused password", implicitTls, Security::Tls, true, "wrong-" + secret, "",
         "SMTP_ERR:535 "},
        {"missing password file", starttlsRequired, Security::StartTls, true, "",
         passwordFile + "-gone", "SMTP_AUTH_ERR: cannot read the password file "},
        {"certificate the system does not trust", starttlsRequired, Security::StartTls, false,
         secret, "", "SMTP_TLS_ERR: The certificate is self-signed"},
        {"server without STARTTLS", plain, Security::StartTls, true, secret, "",
         "SMTP_TLS_ERR: the server does not offer STARTTLS"},
        {"implicit TLS to a plain greeting", starttlsRequired, Security::Tls, true, secret, "",
         "SMTP_TLS_ERR: "},
        {"plain text to a server that requires TLS", starttlsRequired, Security::None, true, "", "",
         "SMTP_ERR:530 "},
        {"authentication without TLS", plain, Security::None, true, secret, "",
         "SMTP_AUTH_ERR: the password is only ever sent over TLS"},
    };
    QString texts; // every status and error text the rows gave
    for (const auto& row : rows) {
        const qsizetype before = row.sink.messages().size();
        mail.MailServer = QStringLiteral("127.0.0.1");
        mail.SMTPPort = static_cast<qint16>(row.sink.port());
        mail.security = row.security;
        mail.caCertificates = row.trusted ? authority : QList<QSslCertificate>{};
        const bool authenticates = !row.password.isEmpty() || !row.passwordFile.isEmpty();
        mail.userName = authenticates ? user : QString();
        mail.password = row.password;
        mail.passwordFile = row.passwordFile;
        ASSERT_TRUE(send()) << row.name;
        texts += mail.Status + mail.lastError();
        EXPECT_TRUE(*row.error != '\0' ? mail.lastError().startsWith(QLatin1String(row.error))
                                       : mail.lastError().isEmpty())
            << row.name << ": " << mail.lastError().toStdString();
        const QList<QJsonObject> stored = row.sink.messages();
        if (*row.error != '\0') {
            EXPECT_EQ(stored.size(), before) << row.name;
            continue;
        }
        ASSERT_EQ(stored.size(), before + 1) << row.name;
        EXPECT_TRUE(stored.last()[QStringLiteral("tls")].toBool()) << row.name;
        EXPECT_TRUE(stored.last()[QStringLiteral("ehlo")].toBool()) << row.name;
        EXPECT_EQ(stored.last()[QStringLiteral("user")].toString(),
                  authenticates ? user : QString())
            << row.name;
    }
    const QString stageLog =
        testsupport::readFile(mail.errorLog().LogFileName(QDate::currentDate()));
    EXPECT_TRUE(stageLog.contains(QStringLiteral(" - authenticating\r\n")));
    texts += stageLog;
    const QByteArray plainToken = QByteArray("\0bob\0", 5) + secret.toUtf8();
    for (const QByteArray& form :
         {secret.toUtf8(), secret.toUtf8().toBase64(), plainToken.toBase64()})
        EXPECT_FALSE(texts.contains(QString::fromUtf8(form))) << form.toStdString();
}

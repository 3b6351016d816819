#include "mail/SMTPClient.h"

#include "MailServers.h"
#include "TestSupport.h"

#include <QJsonArray>
#include <gtest/gtest.h>
#include <sys/stat.h>

using testsupport::waitUntil;

namespace {

class SMTPClientTest : public MailTest {
  protected:
    SMTPClientTest() {
        mail.SMTPPort = static_cast<qint16>(server.port());
        message.FromAddress = " Prowlix@test.example ";
        message.Message = "line one\r\n";
        mail.ToAddress = "ops@example.com";
    }
    ScriptedServer server;
};

} // namespace

TEST_F(SMTPClientTest, OneDialoguePerRecipientWithBracketedEnvelope) {
    mail.TimeOut = 0;
    mail.ToAddress = "  bad@example.com , not-an-address;good@example.com;; ,";
    server.replyFor = [](const QByteArray& command, const QByteArray& line) -> QByteArray {
        return line.contains("bad@") ? "550 no such user\r\n"
                                     : ScriptedServer::standardReply(command);
    };
    ASSERT_TRUE(send());
    EXPECT_EQ(mail.TimeOut, 60);
    // The malformed piece gets no connection; after a refusal only QUIT is sent.
    ASSERT_EQ(server.connections().size(), 2);
    using Lines = QList<QByteArray>;
    const Lines envelope{"HELO box.corp-net.example", "MAIL FROM:<Prowlix@test.example>"};
    EXPECT_EQ(server.connections()[0]->lines,
              (envelope + Lines{"RCPT TO:<bad@example.com>", "QUIT"}));
    EXPECT_EQ(server.connections()[1]->lines,
              (envelope + Lines{"RCPT TO:<good@example.com>", "DATA", ".", "QUIT"}));
    // One failed dialogue fails the whole Send, with the last failure as the reason.
    EXPECT_EQ(mail.lastError(), "SMTP_ADDRESS_ERR: 'not-an-address' is not a mail address");

    mail.ToAddress = " ; ,";
    ASSERT_TRUE(send());
    EXPECT_EQ(mail.lastError(), "Send aborted due to incomplete messaging values");
    EXPECT_EQ(server.connections().size(), 2);
}

// Replies count once whole, however they are cut into segments, and a message counts as sent
// once the data is accepted. No row may need the clock; each socket is released at the end.
TEST_F(SMTPClientTest, RepliesAreJudgedWholeAndDeliveryCountsFromTheDataReply) {
    const struct {
        const char* name;
        QByteArray command; // whose reply is replaced; "220" the greeting
        QByteArray reply;   // empty: the server hangs up instead
        QString error;      // empty: sent
    } rows[] = {
        {"two-part greeting", "220", "220-mx ESMTP\r\n|220 mx ESMTP\r\n", ""},
        {"reply split inside code and text", "HELO", "25|0 o|k\r\n", ""},
        {"multi-line refusal", "MAIL", "550-no\r\n|550 not\r\n", "SMTP_ERR:550-no\r\n550 not"},
        {"other code naming the awaited one", "HELO", "500 say 250\r\n", "SMTP_ERR:500 say 250"},
        {"hang-up instead of 221", "QUIT", "", ""},
        {"wrong reply instead of 221", "QUIT", "500 what\r\n", ""},
        {"hang-up before delivery", "MAIL", "", "SMTP_ERR:the server closed the connection"},
        {"oversized reply", "HELO", "550 " + QByteArray(1 << 20, 'x') + "\r\n",
         "SMTP_ERR:550 " + QString(508, u'x')},
        {"oversized multi-line reply", "HELO",
         QByteArray("250-" + QByteArray(5000, 'y') + "\r\n").repeated(300) + "250 ok\r\n", ""},
    };
    for (const auto& row : rows) {
        ScriptedServer scripted;
        if (row.command == "220")
            scripted.greeting = row.reply;
        scripted.replyFor = [&row](const QByteArray& command, const QByteArray&) {
            return command == row.command ? row.reply : ScriptedServer::standardReply(command);
        };
        mail.SMTPPort = static_cast<qint16>(scripted.port());
        ASSERT_TRUE(send()) << row.name;
        EXPECT_EQ(mail.lastError(), row.error) << row.name;
        ASSERT_EQ(scripted.connections().size(), 1) << row.name;
        EXPECT_TRUE(waitUntil([&] { return scripted.connections()[0]->ended; })) << row.name;
    }
}

TEST_F(SMTPClientTest, SilentRefusingAndNegativeTimeOutsFail) {
    mail.TimeOut = 1;
    server.greeting.clear();
    mail.Send(message);
    ASSERT_TRUE(waitUntil([&] { return mail.Status == "connecting"; })); // awaits the greeting
    clock.advance(1000); // the time-out falls due only once strictly more has passed
    EXPECT_EQ(mail.lastError(), "");
    clock.advance(1);
    ASSERT_TRUE(waitUntil([&] { return !mail.busy(); }));
    EXPECT_EQ(mail.lastError(), "SMTP_TIMEOUT");
    EXPECT_TRUE(waitUntil([&] { return server.connections()[0]->ended; }));

    // A refusal is known at once; waiting for the time-out would only hold up later alerts.
    mail.SMTPPort = static_cast<qint16>(freeLowPort());
    ASSERT_TRUE(send());
    EXPECT_EQ(mail.lastError(), "SMTP_CONNECT_ERR: Connection refused");

    // Only 0 means the default: a negative time-out stays and fails the connection wait at once.
    mail.SMTPPort = 0;
    mail.TimeOut = -1;
    ASSERT_TRUE(send());
    EXPECT_EQ(mail.SMTPPort, 25);
    EXPECT_EQ(mail.lastError(), "SMTP_CONNECT_ERR");
}

// TLS and authentication against real servers; the password appears in no text.
TEST_F(SMTPClientTest, TlsAndAuthenticationAgainstRealServers) {
    using Security = SMTPClient::Security;
    const QString secret = "s3cret-Pa55";
    const QString cert = testCertificate().certificate, key = testCertificate().key;
    const QStringList auth{"--auth", "bob", secret};
    SinkServer startTls(QStringList{"--starttls", cert, key} + auth);
    SinkServer implicitTls(QStringList{"--tls", cert, key, "--mechanisms", "LOGIN"} + auth);
    ASSERT_TRUE(startTls.ready() && implicitTls.ready());
    QTemporaryDir dir;
    const QString passwordFile = dir.filePath("password");
    ASSERT_TRUE(testsupport::writeFile(passwordFile, secret.toUtf8() + "\nsecond line\n"));
    const QString emptyFile = dir.filePath("empty"), fifo = dir.filePath("fifo");
    ASSERT_TRUE(testsupport::writeFile(emptyFile, "\nsecond line\n"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    mail.ErrorLog = std::make_unique<Log>(ProgramInfo{dir.path(), "prowlix"});
    mail.errorLog().LogActivity = true;
    const auto authority = QSslCertificate::fromPath(cert);
    mail.userName = "bob";

    const struct {
        const char* name;
        const SinkServer* sink; // none: the scripted server, which offers no extensions
        Security security;
        bool trusted;
        QString password, passwordFile;
        const char* error; // a prefix; empty: sent
    } rows[] = {
        {"STARTTLS and AUTH PLAIN", &startTls, Security::StartTls, true, secret, "", ""},
        {"implicit TLS and AUTH LOGIN, the one offered", &implicitTls, Security::Tls, true, secret,
         "", ""},
        {"first line of the password file", &startTls, Security::StartTls, true, "", passwordFile,
         ""},
        {"refused password", &implicitTls, Security::Tls, true, "wrong", "", "SMTP_ERR:535 "},
        {"missing password file", &startTls, Security::StartTls, true, "", passwordFile + "-gone",
         "SMTP_AUTH_ERR: cannot read the password file "},
        // Neither may freeze the monitor nor send an empty password.
        {"FIFO as password file", &startTls, Security::StartTls, true, "", fifo,
         "SMTP_AUTH_ERR: cannot read the password file "},
        {"empty first line", &startTls, Security::StartTls, true, "", emptyFile,
         "SMTP_AUTH_ERR: cannot read the password file "},
        {"untrusted certificate", &startTls, Security::StartTls, false, secret, "",
         "SMTP_TLS_ERR: The certificate is self-signed"},
        {"server without STARTTLS", nullptr, Security::StartTls, true, secret, "",
         "SMTP_TLS_ERR: the server does not offer STARTTLS"},
        {"implicit TLS to a plain greeting", nullptr, Security::Tls, true, secret, "",
         "SMTP_TLS_ERR: "},
        {"authentication without TLS", nullptr, Security::None, true, secret, "",
         "SMTP_AUTH_ERR: the password is only ever sent over TLS"},
    };
    QString texts; // every status and error text the rows gave
    for (const auto& row : rows) {
        const qsizetype before = row.sink ? row.sink->messages().size() : 0;
        mail.SMTPPort = static_cast<qint16>(row.sink ? row.sink->port() : server.port());
        mail.security = row.security;
        mail.caCertificates = row.trusted ? authority : QList<QSslCertificate>{};
        mail.password = row.password;
        mail.passwordFile = row.passwordFile;
        ASSERT_TRUE(send()) << row.name;
        texts += mail.Status + mail.lastError();
        const bool sent = *row.error == '\0';
        EXPECT_TRUE(sent ? mail.lastError().isEmpty()
                         : mail.lastError().startsWith(QLatin1String(row.error)))
            << row.name << ": " << mail.lastError().toStdString();
        if (row.sink == nullptr)
            continue;
        const QList<QJsonObject> stored = row.sink->messages();
        ASSERT_EQ(stored.size(), before + sent) << row.name;
        if (sent) { // the sink takes AUTH only over TLS
            EXPECT_EQ(stored.last()["user"].toString(), "bob") << row.name;
        }
    }
    // The certificate file is read at every Send as the password file is, and refused alike.
    mail.caFile = fifo;
    mail.security = Security::StartTls;
    mail.SMTPPort = static_cast<qint16>(startTls.port());
    ASSERT_TRUE(send());
    EXPECT_EQ(mail.lastError(),
              "SMTP_TLS_ERR: cannot read the certificate file " + fifo + ": not a regular file");
    mail.caFile = cert;
    mail.caCertificates.clear();
    mail.password = secret;
    mail.passwordFile.clear();
    ASSERT_TRUE(send());
    EXPECT_EQ(mail.lastError(), "");
    texts += testsupport::readFile(mail.errorLog().LogFileName(QDate::currentDate()));
    EXPECT_TRUE(texts.contains(" - authenticating\r\n"));
    const QByteArray plainToken = QByteArray("\0bob\0", 5) + secret.toUtf8();
    for (const QByteArray& form :
         {secret.toUtf8(), secret.toUtf8().toBase64(), plainToken.toBase64()})
        EXPECT_FALSE(texts.contains(QString::fromUtf8(form))) << form.toStdString();
}

// What the real server sees: the greeting name, whole long lines and subjects, an IPv6 server.
TEST_F(SMTPClientTest, RealServerGetsAFullGreetingNameLongLinesWholeAndIPv6Literals) {
    SinkServer sink;
    SinkServer sink6({"--host", "::1"});
    ASSERT_TRUE(sink.ready() && sink6.ready());
    const auto hostOf = [](const char* name, const QByteArray& resolver) {
        HostSource source;
        source.hostName = [name] { return QString::fromLatin1(name); };
        source.resolverConfig = [resolver] { return resolver; };
        return IPInfo(source);
    };
    const QString longLine = QString(3000, u'x') + " =?UTF-8?B?eA==?= " + QString(999, u'\u00e9');
    const struct {
        const char* name;
        IPInfo host;
        QString helo, from, server; // server empty: the IPv4 sink
        QString helloSeen;
    } rows[] = {
        {"full name", hostOf("box", "domain corp-net.example\n"), "", "x@localdomain", "",
         "box.corp-net.example"},
        {"no domain: the sender's", hostOf("box", ""), "", "alerts@example.org", "", "example.org"},
        {"no domain anywhere", hostOf("box", ""), "", "Prowlix@localdomain", "", "localdomain"},
        {"SMTP_HELO", hostOf("box", "domain corp-net.example\n"), "mx.example.net", "x@y.z", "",
         "mx.example.net"},
        {"bracketed IPv6", hostOf("box", ""), "", "a@b.c", "[::1]", "b.c"},
        {"bare IPv6", hostOf("box", ""), "", "a@b.c", "::1", "b.c"},
    };
    message.Subject = "Monitored Task Failure Report (" + QString(60, u'\u03a9') + " =?x?q?y?=)";
    message.Message = "short\r\n." + longLine + "\r\nlast\r\n";
    for (const auto& row : rows) {
        const SinkServer& target = row.server.isEmpty() ? sink : sink6;
        host = row.host;
        mail.heloName = row.helo;
        message.FromAddress = row.from;
        mail.MailServer = row.server.isEmpty() ? "127.0.0.1" : row.server;
        mail.SMTPPort = static_cast<qint16>(target.port());
        const qsizetype before = target.messages().size();
        ASSERT_TRUE(send()) << row.name;
        EXPECT_EQ(mail.lastError(), "") << row.name;
        const QList<QJsonObject> stored = target.messages();
        ASSERT_EQ(stored.size(), before + 1) << row.name;
        EXPECT_EQ(stored.last()["helo"].toString(), row.helloSeen) << row.name;
    }
    const QJsonObject stored = sink.messages().last();
    const QJsonObject parsed = stored["parsed"].toObject();
    EXPECT_EQ(parsed["defects"].toArray(), QJsonArray{});
    EXPECT_EQ(parsed["headers"]["Subject"].toString(), message.Subject);
    EXPECT_EQ(parsed["transfer_encoding"].toString(), "quoted-printable");
    EXPECT_EQ(parsed["body"].toString().replace("\r\n", "\n"),
              "short\n." + longLine + "\nlast\n\n\n");
    const QString content = stored["content"].toString();
    for (const QString& line : content.split("\r\n")) {
        EXPECT_LE(line.toUtf8().size(), 998);
        if (line.contains("=?UTF-8?B?")) {
            EXPECT_LE(line.size(), 76) << qPrintable(line);
        }
    }
}

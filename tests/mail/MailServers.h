#pragma once

#include "IPInfo.h"
#include "SMTPClient.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

class QTcpSocket;

// A free loopback port that the mail sender's 16-bit signed port setting can hold.
quint16 freeLowPort();

// A certificate for 127.0.0.1 and localhost, made once per test program with the openssl tool:
// the file that a client names as its authority, and the server's key.
struct TestCertificate {
    QString certificate;
    QString key;
};
const TestCertificate& testCertificate();

// A real SMTP server (aiosmtpd) on a free loopback port, storing each message it accepts.
class SinkServer final {
  public:
    struct Options {
        SMTPClient::Security security = SMTPClient::Security::None;
        bool requireTls = false; // 530 for mail before STARTTLS
        QString user;            // AUTH for this user only, over TLS
        QString password;
        QStringList mechanisms{"PLAIN", "LOGIN"}; // those offered
    };
    explicit SinkServer(const Options& options);
    SinkServer() : SinkServer(Options{}) {}
    ~SinkServer();
    bool ready() const { return ready_; }
    quint16 port() const { return port_; }
    // The stored messages in arrival order: helo, tls, user, mail_from, rcpt_tos, content, and
    // "parsed" by Python's mail parser: headers (name and decoded value pairs), date_utc (epoch
    // seconds), defects, content_type, charset, body.
    QList<QJsonObject> messages() const;

  private:
    QTemporaryDir dir_;
    QProcess process_;
    quint16 port_ = 0;
    bool ready_ = false;
};

// A small scripted SMTP server for replies a real server cannot be made to give. It answers
// a well-behaved dialogue unless told otherwise, and records every line per connection.
class ScriptedServer final : public QObject {
  public:
    ScriptedServer();

    struct Connection {
        QList<QByteArray> lines; // received, without line ends
        QByteArray data;         // the raw bytes between DATA and the end of data
        bool ended = false;
        int othersOpen = 0; // connections still open when this one came
    };

    quint16 port() const { return server_.serverPort(); }
    const QList<std::shared_ptr<Connection>>& connections() const { return connections_; }

    // A "\x01" in the greeting or a reply is a pause: the parts go out as separate segments.
    QByteArray greeting = "220 scripted ready\r\n";
    int greetingDelayMs = 0; // -1: never greet
    // Replies by command word (HELO, MAIL, RCPT, DATA, QUIT, and "." for the end of data);
    // a reply may depend on the whole line.
    std::function<QByteArray(const QByteArray& command, const QByteArray& line)> replyFor;
    QByteArray dropAfter; // command word after which the server hangs up without replying

    // What a well-behaved server answers to a command word.
    static QByteArray standardReply(const QByteArray& command);

  private:
    void onConnection();
    void write(QTcpSocket* socket, const QByteArray& text);

    QTcpServer server_;
    QList<std::shared_ptr<Connection>> connections_;
};

// A mail sender on host "box" of domain corp-net.example, aimed at a loopback server.
class MailTest : public ::testing::Test {
  protected:
    MailTest();

    // Sends and runs the event loop until every dialogue has ended; false if they never do.
    bool send();

    IPInfo host;
    SMTPClient mail;
};

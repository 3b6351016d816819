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

// A real SMTP server (aiosmtpd) on a free loopback port, storing each message it accepts.
class SinkServer final {
  public:
    SinkServer();
    ~SinkServer();
    bool ready() const { return ready_; }
    quint16 port() const { return port_; }
    // The stored messages in arrival order: helo, mail_from, rcpt_tos, content.
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
    };

    quint16 port() const { return server_.serverPort(); }
    const QList<std::shared_ptr<Connection>>& connections() const { return connections_; }

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

    QTcpServer server_;
    QList<std::shared_ptr<Connection>> connections_;
};

// A mail sender on host "box" of domain corp-net.example, aimed at a loopback server.
class MailTest : public ::testing::Test {
  protected:
    MailTest();

    IPInfo host;
    SMTPClient mail;
};

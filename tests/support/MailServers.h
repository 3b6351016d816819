#pragma once

#include "ManualClock.h"
#include "mail/IPInfo.h"
#include "mail/SMTPClient.h"

#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

class QTcpSocket;

// A free loopback port that the mail sender's 16-bit signed port setting can hold.
quint16 freeLowPort();

// A certificate for 127.0.0.1 and localhost, made once per test program.
struct TestCertificate {
    QString certificate;
    QString key;
};
const TestCertificate& testCertificate();

// A real SMTP server (aiosmtpd, tests/support/smtp_sink.py) on a free loopback port.
class SinkServer final {
  public:
    // Options as smtp_sink.py takes them.
    explicit SinkServer(const QStringList& options = {});
    ~SinkServer();
    bool ready() const { return ready_; }
    quint16 port() const { return port_; }
    // The stored messages in arrival order, as smtp_sink.py records them.
    QList<QJsonObject> messages() const;

  private:
    QTemporaryDir dir_;
    QProcess process_;
    quint16 port_ = 0;
    bool ready_ = false;
};

// A scripted SMTP server for replies a real server cannot be made to give. It records every
// line per connection.
class ScriptedServer final : public QObject {
  public:
    ScriptedServer();

    struct Connection {
        QList<QByteArray> lines; // without line ends
        QByteArray data;         // the raw bytes between DATA and the end of data
        bool ended = false;
        int othersOpen = 0; // connections still open when this one came
    };
    quint16 port() const { return server_.serverPort(); }
    const QList<std::shared_ptr<Connection>>& connections() const { return connections_; }

    // A "|" in the greeting or a reply splits it into segments.
    QByteArray greeting = "220 scripted ready\r\n"; // empty: never greets
    // The reply by command word ("." for the end of data); empty: hang up instead.
    std::function<QByteArray(const QByteArray& command, const QByteArray& line)> replyFor;
    static QByteArray standardReply(const QByteArray& command);

  private:
    void write(QTcpSocket* socket, const QByteArray& text);

    QTcpServer server_;
    QList<std::shared_ptr<Connection>> connections_;
};

// A mail sender on a manual clock, host "box" of domain corp-net.example, aimed at loopback, and
// a message for it.
class MailTest : public ::testing::Test {
  protected:
    MailTest();
    // Sends message and runs the event loop until every dialogue has ended; false if they never
    // do.
    bool send();

    testsupport::ManualClock clock;
    IPInfo host;
    SMTPClient mail{clock};
    MailMessage message;
};

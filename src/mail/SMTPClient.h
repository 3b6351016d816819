#pragma once

#include "log/Log.h"
#include "mail/IPInfo.h"
#include "mail/MailMessage.h"
#include "platform/Clock.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <memory>

class QSslSocket;
class QTcpSocket;

// Sends one message through one SMTP server, one whole dialogue per recipient. Send starts the
// dialogues and returns at once; they run on socket and timer events, one after the other, and
// finished() follows when the last has ended. Nothing waits in a nested event loop. The message
// itself (headers, text, encoding) is MailMessage's; this class holds the dialogue, TLS and
// authentication.
class SMTPClient final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SMTPClient)

  public:
    enum class Security { None, StartTls, Tls };

    // The waits for the server run on clock.
    explicit SMTPClient(Clock& clock = Clock::system(), QObject* parent = nullptr);
    ~SMTPClient() override;

    std::unique_ptr<Log> ErrorLog;
    QString Status;
    QString MailServer; // a host name, an address, or an IPv6 address in brackets
    QString ToAddress;  // recipients separated by "," or ";"
    QString Domain;
    qint16 SMTPPort = 0;
    qint16 TimeOut = 0;

    // Off unless configured: then the dialogue is the plain HELO one.
    Security security = Security::None;
    QList<QSslCertificate> caCertificates; // empty: the system's authorities
    QString caFile;   // read at every Send; its authorities then stand for caCertificates
    QString userName; // authentication, only ever over TLS
    QString password;
    QString passwordFile; // its first line is the password; read at every Send
    QString heloName;     // SMTP_HELO; empty: see greetingName

    // Sends a copy of message to every recipient of ToAddress; does nothing while busy.
    void Send(const MailMessage& message);
    bool busy() const { return busy_; }
    // Ends the dialogue in progress and drops the rest, without finished().
    void abort();

    // True when every dialogue of the last Send ended without an error; the error text of the
    // last failed dialogue otherwise.
    bool lastSendSucceeded() const { return lastError_.isEmpty(); }
    const QString& lastError() const { return lastError_; }

    // The host identity whose domain goes with HELO; the process-wide one unless replaced.
    IPInfo& hostInfo() { return *hostInfo_; }
    void setHostInfo(IPInfo* info) { hostInfo_ = info != nullptr ? info : &IPInfo::shared(); }
    Log& errorLog();

    // The name HELO and EHLO carry, the first there is of: the configured one, the host's fully
    // qualified name, the domain of the sender address, the host's domain.
    static QString greetingName(const QString& configured, const IPInfo& host,
                                const QString& fromAddress);
    // The host to connect to: an IPv6 address loses the brackets it is written in.
    static QString serverHost(const QString& server);

    // Longest server reply text that goes into an error.
    static constexpr qsizetype replyTextLimit = 512;

  Q_SIGNALS:
    void finished();

  private:
    // What to do once the awaited reply has come.
    enum class Step {
        None,
        Hello,
        Capabilities,
        Secure,
        Authenticated,
        LoginUser,
        LoginPassword,
        Recipient,
        Data,
        Content,
        Delivered,
        Quit, // also after an error reply: the error stays

    };
    struct Reply {
        QByteArray code;
        QList<QByteArray> lines;
    };

    void nextRecipient();
    void SendToRecipient(const QString& recipient);
    void connected();
    void replyArrived(const Reply& reply);
    void sendHello();
    void afterHello();
    void authenticate();
    void sendEnvelope();
    void sendContent();
    void WaitForReply(const QByteArray& code, Step next);
    enum class Wait { Connection, Handshake, Reply };
    void waitFor(Wait wait); // starts the time-out of a wait
    void timedOut();
    void SendText(const QByteArray& text);
    void ReportStatus(const QString& text);
    void readReplies();
    void socketClosed();
    void fail(const QString& errorText);
    void recordFailure(const QString& errorText);
    void quitAfter(const QString& errorText);
    void endDialogue();
    void releaseSocket();
    void readPassword();
    void readAuthorities();
    // What the failure of a file read at Send leaves: the error, and no dialogue.
    void refuseSend(const QString& errorText);
    QString withoutSecrets(QString text) const;
    QByteArray messageId() const;

    MailMessage message_;
    QStringList recipients_;
    QString recipient_;
    QString dateText_;
    QString activePassword_;
    QList<QSslCertificate> activeAuthorities_;
    QTcpSocket* socket_ = nullptr; // a QSslSocket when TLS is asked for
    Clock& clock_;                 // the Date header and the message identifier read its wall time
    ClockTimer waitTimer_;
    QTimer nextTimer_; // starts the next dialogue from the event loop; not a wait on time
    Wait wait_ = Wait::Connection;
    QByteArray received_; // bytes of a line not yet complete
    Reply partial_;       // lines of a multi-line reply not yet complete
    QByteArray awaited_;
    Step next_ = Step::None;
    QStringList capabilities_;
    QString tlsErrors_;
    bool SessionFailed = false;
    bool delivered_ = false;
    bool busy_ = false;
    IPInfo* hostInfo_ = &IPInfo::shared();
    QString lastError_;
};

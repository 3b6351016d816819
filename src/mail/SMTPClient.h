#pragma once

#include "IPInfo.h"
#include "Log.h"
#include "SocketControl.h"
#include "TimeZoneInfo.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <memory>

// Sends one plain-text message through one SMTP server, one whole dialogue per recipient.
// Its waits let the event loop run, so the monitor keeps supervising while mail goes out.
class SMTPClient final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SMTPClient)

  public:
    explicit SMTPClient(QObject* parent = nullptr);
    ~SMTPClient() override;

    std::unique_ptr<Log> ErrorLog;
    QString Status;
    QString MailServer;
    QString FromName;
    QString FromAddress;
    QString ToName;
    QString ToAddress;
    QString Subject;
    QString Message;
    QString Domain;
    qint16 SMTPPort = 0;
    qint16 TimeOut = 0;

    SocketControl SMTPWinsock;
    TimeZoneInfo timeZone;

    void Send();

    // True when every dialogue of the last Send ended without an error; the error text of the
    // last failed dialogue otherwise.
    bool lastSendSucceeded() const { return lastError_.isEmpty(); }
    const QString& lastError() const { return lastError_; }

    // The host identity whose domain goes with HELO; the process-wide one unless replaced.
    IPInfo& hostInfo() { return *hostInfo_; }
    void setHostInfo(IPInfo* info) { hostInfo_ = info != nullptr ? info : &IPInfo::shared(); }

    // The text behind "X-Mailer: ".
    static QString mailerText();
    // The message as it goes on the wire: lines that begin with "." get a second one, so the
    // text arrives unchanged and a lone "." cannot end the data early.
    static QString dotStuffed(const QString& text);

  private:
    void SendToRecipient(const QString& recipient);
    void runDialogue(const QString& recipient);
    void waitForConnection();
    void WaitForReply(const QString& code);
    void SendText(const QString& text);
    void ReportStatus(const QString& text);
    void fail(const QString& errorText);
    void sleepUntilTimeOut();
    double secondsSinceStart() const;
    Log& errorLog();

    QString ReplyBuffer;
    bool SessionFailed = false;
    double WaitStart = 0;
    double WaitElapsed = 0;
    QElapsedTimer clock_;
    IPInfo* hostInfo_ = &IPInfo::shared();
    QString lastError_;
};

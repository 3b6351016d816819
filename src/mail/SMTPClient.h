#pragma once

#include "Log.h"
#include "SocketControl.h"

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

    void Send();

    // True when every dialogue of the last Send ended without an error; the error text of the
    // last failed dialogue otherwise.
    bool lastSendSucceeded() const { return lastError_.isEmpty(); }
    const QString& lastError() const { return lastError_; }

private:
    QString lastError_;
};

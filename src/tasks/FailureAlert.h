#pragma once

#include "Clock.h"

#include <QObject>
#include <QString>
#include <deque>
#include <map>
#include <optional>

class Log;
class SMTPClient;
class TaskTable;

// Mails the report of one task failure. The report is composed from the task's record as it
// stands at the failure and queued; the queue sends in the background, one message at a time,
// so a failure never waits for mail and each alert keeps its own subject and text.
class FailureAlert final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FailureAlert)

  public:
    // The alert limit's windows run on clock.
    FailureAlert(TaskTable& tasks, SMTPClient& mail, Log& log, Clock& clock = Clock::system(),
                 QObject* parent = nullptr);

    void SendFailureAlert(qint32 p);
    // Every alert still queued or in progress is logged as failed; later ones are not sent.
    void shutDown();

    // The sender address; empty means Prowlix@ and the host's domain.
    QString fromAddress;
    // At most limitCount mails for one task within limitSeconds; 0 switches the limit off.
    int limitCount = 0;
    qint64 limitSeconds = 0;

    static constexpr std::size_t queueLimit = 1000;

    // Alerts that ended as sent or failed, one for each "EMAIL ALERT:" event.
    quint64 sentTotal() const { return sent_; }
    quint64 failedTotal() const { return failed_; }
    // Alerts queued or in progress.
    std::size_t pending() const { return queue_.size() + (current_ ? 1 : 0); }

  private:
    struct Alert {
        QString fromName;
        QString fromAddress;
        QString subject;
        QString message;
    };
    // Mails of one task within the limit's window, and its failures not mailed since.
    struct TaskMails {
        std::deque<qint64> sentAt;
        quint64 held = 0;
    };
    bool withinLimit(qint32 p, quint64& held);
    void sendNext();
    void sendFinished();
    void logFailed(const QString& reason);

    Clock& clock_;
    TaskTable& tasks_;
    SMTPClient& mail_;
    Log& log_;
    std::deque<Alert> queue_;
    std::optional<Alert> current_;
    std::map<qint32, TaskMails> mails_;
    bool shutDown_ = false;
    quint64 sent_ = 0;
    quint64 failed_ = 0;
};

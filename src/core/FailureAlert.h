#pragma once

#include "mail/MailMessage.h"
#include "platform/Clock.h"
#include "tasks/SlidingWindowLimit.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <deque>
#include <map>
#include <optional>

class Log;
class SMTPClient;
class TaskTable;

// Mails the report of one task failure. The report is composed from the task's record as it
// stands at the failure and queued; the queue sends in the background, one message at a time,
// in the order of the failures, so a failure never waits for mail and each alert keeps its own
// subject and text.
//
// The text is the five lines every alert has, then the caller's extra lines (the first of them
// is line 6), then what the alert itself has to add: that the restart limit keeps the task down,
// and for a failure that ALERT_LIMIT held back, that it was held and how many others were.
//
// Each "EMAIL ALERT: " event ends with "; task: " + name + " (" + command + ")", after the
// recipients and, for a failed alert, the reason.
class FailureAlert final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FailureAlert)

  public:
    // The alert limit's windows run on clock.
    FailureAlert(TaskTable& tasks, SMTPClient& mail, Log& log, Clock& clock = Clock::system(),
                 QObject* parent = nullptr);

    void SendFailureAlert(qint32 p, const QStringList& extraLines = {});
    // Every alert still queued, in progress or held back is logged as failed; later ones are not
    // sent.
    void shutDown();

    // The sender address; empty means Prowlix@ and the host's domain.
    QString fromAddress;
    // At most limitCount mails for one task within limitSeconds; 0 switches the limit off. The
    // latest failure beyond it is held back and mailed when the window has room again.
    int limitCount = 0;
    qint64 limitSeconds = 0;

    static constexpr std::size_t queueLimit = 1000;

    // Alerts that ended as sent or failed, one for each "EMAIL ALERT:" event.
    quint64 sentTotal() const { return sent_; }
    quint64 failedTotal() const { return failed_; }
    // Alerts queued or in progress (held-back failures not counted).
    std::size_t pending() const { return queue_.size() + (current_ ? 1 : 0); }

  private:
    struct Alert {
        MailMessage message;
        QString task; // name (command), for the events
    };
    // The latest failure of one task held back by the limit.
    struct TaskMails {
        std::optional<Alert> held;
        quint64 heldCount = 0; // failures held back since the last mail, the latest included
    };
    SlidingWindowLimit::Limit limit() const { return {limitCount, limitSeconds * 1000}; }
    void release(qint32 p, TaskMails& mails);
    void windowEnded();
    void armWindowTimer();
    void enqueue(Alert alert);
    void sendNext();
    void sendFinished();
    void logFailed(const QString& reason, const QString& task);

    Clock& clock_;
    TaskTable& tasks_;
    SMTPClient& mail_;
    Log& log_;
    SlidingWindowLimit mailed_; // mails of each task within the limit's window
    ClockTimer windowTimer_;
    std::deque<Alert> queue_;
    std::optional<Alert> current_;
    std::map<qint32, TaskMails> mails_;
    bool shutDown_ = false;
    quint64 sent_ = 0;
    quint64 failed_ = 0;
};

#pragma once

#include <QString>
#include <deque>

class Log;
class SMTPClient;
class TaskTable;

// Mails the report of one task failure. Sending lets the event loop run, so a second failure
// can be reported meanwhile: its alert is queued and sent after the one in progress, with its
// own subject and text, and the nested call returns at once.
class FailureAlert final {
  public:
    FailureAlert(TaskTable& tasks, SMTPClient& mail, Log& log);

    void SendFailureAlert(qint32 p);

    // Alerts composed and not yet handed to the mail sender.
    std::size_t pending() const { return queue_.size(); }
    bool sending() const { return sending_; }
    // Alerts whose dialogue ended, by outcome, since start.
    quint64 sentTotal() const { return sentTotal_; }
    quint64 failedTotal() const { return failedTotal_; }

  private:
    struct Alert {
        QString fromName;
        QString fromAddress;
        QString subject;
        QString message;
    };
    void sendQueued();

    TaskTable& tasks_;
    SMTPClient& mail_;
    Log& log_;
    std::deque<Alert> queue_;
    bool sending_ = false;
    quint64 sentTotal_ = 0;
    quint64 failedTotal_ = 0;
};

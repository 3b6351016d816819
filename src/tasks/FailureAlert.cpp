#include "FailureAlert.h"

#include "Log.h"
#include "SMTPClient.h"
#include "TaskTable.h"
#include "Version.h"

namespace {

const QString crlf = QStringLiteral("\r\n");

} // namespace

FailureAlert::FailureAlert(TaskTable& tasks, SMTPClient& mail, Log& log)
    : tasks_(tasks), mail_(mail), log_(log) {}

void FailureAlert::SendFailureAlert(qint32 p) {
    if (mail_.MailServer.isEmpty() || mail_.ToAddress.isEmpty()) {
        return;
    }
    const TaskRecord& task = tasks_[p];
    const QString product = QLatin1String(Version::productName);
    mail_.hostInfo().LoadHostInfo();
    const QString upperName = task.TaskName.toUpper();
    queue_.push_back({product, product + u'@' + mail_.hostInfo().DomainName,
                      QStringLiteral("Monitored Task Failure Report (") + upperName + u')',
                      product + crlf + QStringLiteral("Monitored Task Failure Report") + crlf +
                          upperName + crlf + task.PathAndFile + crlf +
                          QStringLiteral("Automatic restart active for this task?: ") +
                          (task.AutoRestart ? QStringLiteral("TRUE") : QStringLiteral("FALSE")) +
                          crlf});
    if (!sending_) {
        sendQueued();
    }
}

void FailureAlert::sendQueued() {
    sending_ = true;
    // Cleared on every way out, so an unexpected error cannot silence all later alerts.
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{sending_};
    while (!queue_.empty()) {
        const Alert alert = queue_.front();
        queue_.pop_front();
        mail_.FromName = alert.fromName;
        mail_.FromAddress = alert.fromAddress;
        mail_.Subject = alert.subject;
        mail_.Message = alert.message;
        mail_.Send();
        if (mail_.lastSendSucceeded()) {
            ++sentTotal_;
            log_.WriteLog(QStringLiteral("EMAIL ALERT: sent to (") + mail_.ToAddress + u')');
        } else {
            ++failedTotal_;
            log_.WriteLog(QStringLiteral("EMAIL ALERT: failed (") + mail_.ToAddress +
                          QStringLiteral("): ") + mail_.lastError());
        }
    }
}

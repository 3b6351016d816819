#include "FailureAlert.h"

#include "Log.h"
#include "SMTPClient.h"
#include "TaskTable.h"
#include "Version.h"

namespace {

const QString crlf = QStringLiteral("\r\n");

} // namespace

FailureAlert::FailureAlert(TaskTable& tasks, SMTPClient& mail, Log& log, Clock& clock,
                           QObject* parent)
    : QObject(parent), clock_(clock), tasks_(tasks), mail_(mail), log_(log) {
    connect(&mail_, &SMTPClient::finished, this, &FailureAlert::sendFinished);
}

void FailureAlert::SendFailureAlert(qint32 p) {
    if (mail_.MailServer.isEmpty() || mail_.ToAddress.isEmpty())
        return;
    if (shutDown_)
        return logFailed(QStringLiteral("shut down"));
    if (queue_.size() >= queueLimit)
        return logFailed(QStringLiteral("queue full"));
    quint64 held = 0;
    if (!withinLimit(p, held))
        return;
    const TaskRecord& task = tasks_[p];
    const QString product = QLatin1String(Version::productName);
    mail_.hostInfo().LoadHostInfo();
    const QString upperName = task.TaskName.toUpper();
    QString message = product + crlf + QStringLiteral("Monitored Task Failure Report") + crlf +
                      upperName + crlf + task.PathAndFile + crlf +
                      QStringLiteral("Automatic restart active for this task?: ") +
                      (task.AutoRestart ? QStringLiteral("TRUE") : QStringLiteral("FALSE")) + crlf;
    if (held > 0)
        message += QStringLiteral("Failures not mailed since the last alert (ALERT_LIMIT): ") +
                   QString::number(held) + crlf;
    queue_.push_back(
        {product,
         fromAddress.isEmpty() ? product + u'@' + mail_.hostInfo().DomainName : fromAddress,
         QStringLiteral("Monitored Task Failure Report (") + upperName + u')', message});
    if (!current_)
        sendNext();
}

bool FailureAlert::withinLimit(qint32 p, quint64& held) {
    if (limitCount <= 0 || limitSeconds <= 0)
        return true;
    TaskMails& mails = mails_[p];
    const qint64 now = clock_.now();
    while (!mails.sentAt.empty() && now - mails.sentAt.front() >= limitSeconds * 1000)
        mails.sentAt.pop_front();
    if (mails.sentAt.size() >= static_cast<std::size_t>(limitCount)) {
        ++mails.held;
        return false;
    }
    mails.sentAt.push_back(now);
    held = mails.held;
    mails.held = 0;
    return true;
}

void FailureAlert::sendNext() {
    if (queue_.empty())
        return;
    current_ = std::move(queue_.front());
    queue_.pop_front();
    mail_.FromName = current_->fromName;
    mail_.FromAddress = current_->fromAddress;
    mail_.Subject = current_->subject;
    mail_.Message = current_->message;
    mail_.Send();
}

void FailureAlert::sendFinished() {
    if (!current_)
        return;
    current_.reset();
    if (mail_.lastSendSucceeded()) {
        ++sent_;
        log_.WriteLog(QStringLiteral("EMAIL ALERT: sent to (") + mail_.ToAddress + u')');
    } else {
        logFailed(mail_.lastError());
    }
    sendNext();
}

void FailureAlert::shutDown() {
    shutDown_ = true;
    if (current_) {
        mail_.abort();
        current_.reset();
        logFailed(QStringLiteral("shut down"));
    }
    for (; !queue_.empty(); queue_.pop_front())
        logFailed(QStringLiteral("shut down"));
}

void FailureAlert::logFailed(const QString& reason) {
    ++failed_;
    log_.WriteLog(QStringLiteral("EMAIL ALERT: failed (") + mail_.ToAddress +
                  QStringLiteral("): ") + reason);
}

#include "core/FailureAlert.h"

#include "log/Log.h"
#include "mail/SMTPClient.h"
#include "platform/Version.h"
#include "tasks/TaskTable.h"

#include <algorithm>
#include <climits>

namespace {

const QString crlf = QStringLiteral("\r\n");

} // namespace

FailureAlert::FailureAlert(TaskTable& tasks, SMTPClient& mail, Log& log, Clock& clock,
                           QObject* parent)
    : QObject(parent), clock_(clock), tasks_(tasks), mail_(mail), log_(log), mailed_(clock),
      windowTimer_(clock) {
    windowTimer_.setSingleShot(true);
    connect(&windowTimer_, &ClockTimer::timeout, this, &FailureAlert::windowEnded);
    connect(&mail_, &SMTPClient::finished, this, &FailureAlert::sendFinished);
}

void FailureAlert::SendFailureAlert(qint32 p, const QStringList& extraLines) {
    if (mail_.MailServer.isEmpty() || mail_.ToAddress.isEmpty())
        return;
    const TaskRecord& task = tasks_[p];
    Alert alert;
    alert.task = task.TaskName + QStringLiteral(" (") + task.PathAndFile + u')';
    if (shutDown_)
        return logFailed(QStringLiteral("shut down"), alert.task);
    const QString product = QLatin1String(Version::productName);
    mail_.hostInfo().LoadHostInfo();
    const QString upperName = task.TaskName.toUpper();
    MailMessage& message = alert.message;
    message.FromName = product;
    message.FromAddress =
        fromAddress.isEmpty() ? product + u'@' + mail_.hostInfo().DomainName : fromAddress;
    message.Subject = QStringLiteral("Monitored Task Failure Report (") + upperName + u')';
    message.Message = product + crlf + QStringLiteral("Monitored Task Failure Report") + crlf +
                      upperName + crlf + task.PathAndFile + crlf +
                      QStringLiteral("Automatic restart active for this task?: ") +
                      (task.AutoRestart ? QStringLiteral("TRUE") : QStringLiteral("FALSE")) + crlf;
    for (const QString& line : extraLines)
        message.Message += line + crlf;
    if (task.restartLimited)
        message.Message += QStringLiteral("Restart limit reached (RESTART_LIMIT): the task stays "
                                          "down until it is started again") +
                           crlf;

    if (!limit().on())
        return enqueue(std::move(alert));
    TaskMails& mails = mails_[p];
    // A failure held back earlier goes first, so alerts keep the order of their failures.
    if (mails.held && mailed_.hasRoom(p, limit()))
        release(p, mails);
    if (mailed_.take(p, limit())) {
        enqueue(std::move(alert));
    } else {
        mails.held = std::move(alert);
        ++mails.heldCount;
    }
    armWindowTimer();
}

void FailureAlert::release(qint32 p, TaskMails& mails) {
    Alert alert = std::move(*mails.held);
    if (mails.heldCount > 1)
        alert.message.Message += QStringLiteral("Failures not mailed since the last alert "
                                                "(ALERT_LIMIT): ") +
                                 QString::number(mails.heldCount - 1) + crlf;
    alert.message.Message +=
        QStringLiteral("This failure was held back by ALERT_LIMIT until its window ended") + crlf;
    mails.held.reset();
    mails.heldCount = 0;
    mailed_.record(p);
    enqueue(std::move(alert));
}

// Held-back failures are reported when their window ends, not only with a later failure.
void FailureAlert::windowEnded() {
    for (auto& [p, mails] : mails_) {
        if (mails.held && mailed_.hasRoom(p, limit()))
            release(p, mails);
    }
    armWindowTimer();
}

void FailureAlert::armWindowTimer() {
    std::optional<qint64> due;
    for (const auto& [p, mails] : mails_) {
        const std::optional<qint64> at = mails.held ? mailed_.roomAt(p, limit()) : std::nullopt;
        if (at)
            due = due ? std::min(*due, *at) : *at;
    }
    if (!due || shutDown_)
        return windowTimer_.stop();
    // A window longer than a timer can hold is waited for in steps.
    windowTimer_.start(static_cast<int>(std::clamp<qint64>(*due - clock_.now(), 0, INT_MAX)));
}

void FailureAlert::enqueue(Alert alert) {
    if (queue_.size() >= queueLimit)
        return logFailed(QStringLiteral("queue full"), alert.task);
    queue_.push_back(std::move(alert));
    if (!current_)
        sendNext();
}

void FailureAlert::sendNext() {
    if (queue_.empty())
        return;
    current_ = std::move(queue_.front());
    queue_.pop_front();
    mail_.Send(current_->message);
}

void FailureAlert::sendFinished() {
    if (!current_)
        return;
    const QString task = current_->task;
    current_.reset();
    if (mail_.lastSendSucceeded()) {
        ++sent_;
        log_.WriteLog(QStringLiteral("EMAIL ALERT: sent to (") + mail_.ToAddress +
                      QStringLiteral("); task: ") + task);
    } else {
        logFailed(mail_.lastError(), task);
    }
    sendNext();
}

void FailureAlert::shutDown() {
    shutDown_ = true;
    windowTimer_.stop();
    if (current_) {
        mail_.abort();
        const QString task = current_->task;
        current_.reset();
        logFailed(QStringLiteral("shut down"), task);
    }
    for (; !queue_.empty(); queue_.pop_front())
        logFailed(QStringLiteral("shut down"), queue_.front().task);
    for (auto& [p, mails] : mails_) {
        if (mails.held)
            logFailed(QStringLiteral("shut down"), mails.held->task);
        mails.held.reset();
    }
}

void FailureAlert::logFailed(const QString& reason, const QString& task) {
    ++failed_;
    log_.WriteLog(QStringLiteral("EMAIL ALERT: failed (") + mail_.ToAddress +
                  QStringLiteral("): ") + reason + QStringLiteral("; task: ") + task);
}

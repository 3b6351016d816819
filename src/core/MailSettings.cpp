#include "MailSettings.h"

#include "AppSettings.h"
#include "FailureAlert.h"
#include "Log.h"
#include "SMTPClient.h"

#include <QFileInfo>
#include <QSslCertificate>

namespace {

void ignored(Log& log, const QString& key, const QString& value, const QString& reason) {
    log.WriteLog(QStringLiteral("ERROR: ") + key + u'=' + value + QStringLiteral(": ") + reason);
}

// "count,seconds", both positive whole numbers.
bool readLimit(const QString& value, int& count, int& seconds) {
    const QStringList parts = value.split(u',');
    if (parts.size() != 2)
        return false;
    bool countOk = false;
    bool secondsOk = false;
    count = parts[0].trimmed().toInt(&countOk);
    seconds = parts[1].trimmed().toInt(&secondsOk);
    return countOk && secondsOk && count > 0 && seconds > 0;
}

} // namespace

namespace MailSettings {

void apply(const AppSettings& settings, SMTPClient& mail, FailureAlert& alert, Log& log) {
    const auto value = [&settings](const char* key) {
        return settings.GetINIValue(QLatin1String(key));
    };

    const QString tls = value("SMTP_TLS");
    if (tls.compare(QLatin1String("STARTTLS"), Qt::CaseInsensitive) == 0)
        mail.security = SMTPClient::Security::StartTls;
    else if (tls.compare(QLatin1String("TLS"), Qt::CaseInsensitive) == 0)
        mail.security = SMTPClient::Security::Tls;
    else if (!tls.isEmpty())
        ignored(log, QStringLiteral("SMTP_TLS"), tls,
                QStringLiteral("neither STARTTLS nor TLS; mail is sent without TLS"));

    const QString caFile = value("SMTP_CA_FILE");
    if (!caFile.isEmpty()) {
        const QList<QSslCertificate> authorities = QSslCertificate::fromPath(
            caFile, QSsl::Pem, QSslCertificate::PatternSyntax::FixedString);
        if (authorities.isEmpty())
            ignored(log, QStringLiteral("SMTP_CA_FILE"), caFile,
                    QStringLiteral("no PEM certificate could be read; the system's authorities "
                                   "are used"));
        else
            mail.caCertificates = authorities;
    }

    const QString user = value("SMTP_USER");
    const QString passwordFile = value("SMTP_PASSWORD_FILE");
    const QString password = value("SMTP_PASSWORD");
    if (!user.isEmpty()) {
        if (mail.security == SMTPClient::Security::None) {
            ignored(log, QStringLiteral("SMTP_USER"), user,
                    QStringLiteral("the password is only sent over TLS (SMTP_TLS=STARTTLS or "
                                   "TLS); mail is sent without authentication"));
        } else if (passwordFile.isEmpty() && password.isEmpty()) {
            ignored(log, QStringLiteral("SMTP_USER"), user,
                    QStringLiteral("neither SMTP_PASSWORD_FILE nor SMTP_PASSWORD is given; mail "
                                   "is sent without authentication"));
        } else {
            mail.userName = user;
            mail.password = password;
            mail.passwordFile = passwordFile;
        }
    }
    if (!mail.passwordFile.isEmpty()) {
        // Read at every alert, so it may be put right later; a warning now saves a lost alert.
        const QFileInfo file(mail.passwordFile);
        if (!file.isFile() || !file.isReadable())
            log.WriteLog(QStringLiteral("WARNING: SMTP_PASSWORD_FILE=") + mail.passwordFile +
                         QStringLiteral(": not a readable file; alerts fail until it is"));
        else if (file.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther))
            log.WriteLog(QStringLiteral("WARNING: SMTP_PASSWORD_FILE=") + mail.passwordFile +
                         QStringLiteral(": other users can read it; make it readable only by "
                                        "the monitor's user (chmod 600)"));
    }

    const QString from = value("SMTP_FROM");
    if (SMTPClient::isMailAddress(from))
        alert.fromAddress = from;
    else if (!from.isEmpty())
        ignored(log, QStringLiteral("SMTP_FROM"), from,
                QStringLiteral("not a mail address; alerts come from Prowlix@ and the host's "
                               "domain"));

    const QString stageLog = value("SMTP_LOG");
    if (stageLog.compare(QLatin1String("ON"), Qt::CaseInsensitive) == 0)
        mail.errorLog().LogActivity = true;
    else if (!stageLog.isEmpty() && stageLog.compare(QLatin1String("OFF"), Qt::CaseInsensitive))
        ignored(log, QStringLiteral("SMTP_LOG"), stageLog,
                QStringLiteral("neither ON nor OFF; the mail stage log stays off"));

    const QString limit = value("ALERT_LIMIT");
    int count = 0;
    int seconds = 0;
    if (readLimit(limit, count, seconds)) {
        alert.limitCount = count;
        alert.limitSeconds = seconds;
    } else if (!limit.isEmpty()) {
        ignored(log, QStringLiteral("ALERT_LIMIT"), limit,
                QStringLiteral("not two positive numbers (count,seconds); every failure is "
                               "mailed"));
    }
}

} // namespace MailSettings

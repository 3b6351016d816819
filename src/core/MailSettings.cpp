#include "core/MailSettings.h"

#include "base/NumberPair.h"
#include "core/AppSettings.h"
#include "core/FailureAlert.h"
#include "log/Log.h"
#include "log/SettingUnusable.h"
#include "mail/RegularFile.h"
#include "mail/SMTPClient.h"

#include <QFileInfo>
#include <QHostAddress>
#include <QRegularExpression>
#include <QSslCertificate>
#include <algorithm>
#include <climits>

namespace {

void logUnusable(Log& log, const QString& key, const QString& value, const QString& reason,
                 const QString& consequence) {
    log.WriteLog(settingUnusable(key, value, reason, consequence));
}

// A name HELO may carry: DNS labels of letters, digits and hyphens, or an address in brackets.
bool isGreetingName(const QString& name) {
    if (name.startsWith(u'[') && name.endsWith(u']'))
        return !QHostAddress(SMTPClient::serverHost(name)).isNull();
    static const QRegularExpression labels(QStringLiteral(
        "^[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?(?:\\.[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}"
        "[A-Za-z0-9])?)*$"));
    return name.size() <= 253 && labels.match(name).hasMatch();
}

} // namespace

namespace MailSettings {

void apply(const AppSettings& settings, SMTPClient& mail, FailureAlert& alert, Log& log) {
    // A key given twice is as with every key: the last line wins, and a warning says so.
    const auto value = [&settings, &log](const char* key) {
        const QString name = QLatin1String(key);
        const QString last = settings.GetINIValue(name);
        const auto lines = std::count_if(
            settings.INIEntries.cbegin(), settings.INIEntries.cend(),
            [&name](const INIEntry& e) { return e.Key.compare(name, Qt::CaseInsensitive) == 0; });
        if (lines > 1)
            log.WriteLog(QStringLiteral("WARNING: ") + name + u'=' + last + QStringLiteral(": ") +
                         name + QStringLiteral(" is given again; the last line wins"));
        return last;
    };

    // The values the mail sender cannot use are known now; each alert would fail the same way.
    if (mail.TimeOut < 0)
        logUnusable(
            log, QStringLiteral("SMTP_TIMEOUT"), QString::number(mail.TimeOut),
            QStringLiteral("a negative time-out fails every alert at once (SMTP_CONNECT_ERR)"),
            QStringLiteral("0 or none means 60 seconds"));
    if (mail.SMTPPort < 0)
        logUnusable(log, QStringLiteral("SMTP_PORT"), QString::number(mail.SMTPPort),
                    QStringLiteral("not a port (1 to 32767)"), QStringLiteral("every alert fails"));

    const QString tls = value("SMTP_TLS");
    if (tls.compare(QLatin1String("STARTTLS"), Qt::CaseInsensitive) == 0)
        mail.security = SMTPClient::Security::StartTls;
    else if (tls.compare(QLatin1String("TLS"), Qt::CaseInsensitive) == 0)
        mail.security = SMTPClient::Security::Tls;
    else if (!tls.isEmpty())
        logUnusable(log, QStringLiteral("SMTP_TLS"), tls,
                    QStringLiteral("neither STARTTLS nor TLS"),
                    QStringLiteral("mail is sent without TLS"));

    mail.caFile = value("SMTP_CA_FILE");
    if (!mail.caFile.isEmpty()) {
        // Read at every alert, so it may be put right later; a warning now saves a lost alert.
        // Without blocking and only from a regular file: a FIFO must not stop start-up.
        const RegularFile::Contents file = RegularFile::read(mail.caFile, 16 * 1024 * 1024);
        if (QSslCertificate::fromData(file.bytes, QSsl::Pem).isEmpty())
            log.WriteLog(
                QStringLiteral("WARNING: SMTP_CA_FILE=") + mail.caFile + QStringLiteral(": ") +
                (file.error.isEmpty() ? QStringLiteral("no PEM certificate in it") : file.error) +
                QStringLiteral("; alerts over TLS fail until it is put right"));
    }

    const QString user = value("SMTP_USER");
    const QString passwordFile = value("SMTP_PASSWORD_FILE");
    const QString password = value("SMTP_PASSWORD");
    if (!user.isEmpty()) {
        if (mail.security == SMTPClient::Security::None) {
            logUnusable(
                log, QStringLiteral("SMTP_USER"), user,
                QStringLiteral("the password is only sent over TLS (SMTP_TLS=STARTTLS or TLS)"),
                QStringLiteral("mail is sent without authentication"));
        } else if (passwordFile.isEmpty() && password.isEmpty()) {
            logUnusable(log, QStringLiteral("SMTP_USER"), user,
                        QStringLiteral("neither SMTP_PASSWORD_FILE nor SMTP_PASSWORD is given"),
                        QStringLiteral("mail is sent without authentication"));
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
    if (MailMessage::isMailAddress(from))
        alert.fromAddress = from;
    else if (!from.isEmpty())
        logUnusable(log, QStringLiteral("SMTP_FROM"), from, QStringLiteral("not a mail address"),
                    QStringLiteral("alerts come from Prowlix@ and the host's domain"));

    const QString stageLog = value("SMTP_LOG");
    if (stageLog.compare(QLatin1String("ON"), Qt::CaseInsensitive) == 0)
        mail.errorLog().LogActivity = true;
    else if (!stageLog.isEmpty() && stageLog.compare(QLatin1String("OFF"), Qt::CaseInsensitive))
        logUnusable(log, QStringLiteral("SMTP_LOG"), stageLog, QStringLiteral("neither ON nor OFF"),
                    QStringLiteral("the mail stage log stays off"));

    const QString helo = value("SMTP_HELO");
    if (isGreetingName(helo))
        mail.heloName = helo;
    else if (!helo.isEmpty())
        logUnusable(log, QStringLiteral("SMTP_HELO"), helo,
                    QStringLiteral("not a host name or an address in brackets"),
                    QStringLiteral("the greeting name is chosen as without it"));
    if (!mail.MailServer.isEmpty() && !mail.ToAddress.isEmpty()) {
        mail.hostInfo().LoadHostInfo();
        const QString name = SMTPClient::greetingName(
            mail.heloName, mail.hostInfo(),
            alert.fromAddress.isEmpty() ? QStringLiteral("x@") + mail.hostInfo().DomainName
                                        : alert.fromAddress);
        if (!name.contains(u'.') && !name.startsWith(u'['))
            log.WriteLog(QStringLiteral("WARNING: the mail sender greets with HELO ") + name +
                         QStringLiteral(", a name without a dot that strict mail servers refuse; "
                                        "set SMTP_HELO to the host's DNS name, or SMTP_FROM"));
    }

    const QString limit = value("ALERT_LIMIT");
    // count,seconds: two positive whole numbers.
    if (const auto pair = NumberPair::read(limit, NumberPair::Numbers::Whole, INT_MAX, INT_MAX)) {
        alert.limitCount = static_cast<int>(pair->first);
        alert.limitSeconds = static_cast<qint64>(pair->second);
    } else if (!limit.isEmpty()) {
        logUnusable(log, QStringLiteral("ALERT_LIMIT"), limit,
                    QStringLiteral("not two positive numbers (count,seconds)"),
                    QStringLiteral("every failure is mailed"));
    }
}

} // namespace MailSettings

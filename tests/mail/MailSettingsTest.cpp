#include "MailSettings.h"

#include "AppSettings.h"
#include "FailureAlert.h"
#include "Log.h"
#include "MailServers.h"
#include "TaskTable.h"
#include "TestSupport.h"

#include <QFile>
#include <gtest/gtest.h>

namespace {

struct Applied {
    QTemporaryDir dir;
    TaskTable tasks;
    SMTPClient mail;
    Log log{ProgramInfo{dir.path(), "prowlix"}};
    FailureAlert alert{tasks, mail, log};
    QStringList events;

    explicit Applied(const QStringList& lines) {
        log.LogActivity = true;
        AppSettings settings;
        for (const QString& line : lines)
            settings.INIEntries.append({line.section(u'=', 0, 0), line.section(u'=', 1)});
        MailSettings::apply(settings, mail, alert, log);
        for (const QString& line : log.LogContents(QDate::currentDate()).split("\r\n"))
            if (line.contains(" - "))
                events << line.section(" - ", 1);
    }
};

} // namespace

TEST(MailSettingsTest, UsableValuesAreTakenAndEachUnusableOneIsLoggedOnceAndLeftOff) {
    QTemporaryDir dir;
    const QString password = dir.filePath("password");
    ASSERT_TRUE(testsupport::writeFile(password, "hunter2\n"));
    QFile::setPermissions(password, QFileDevice::ReadOwner | QFileDevice::WriteOwner);

    const Applied good({"smtp_tls=starttls", "SMTP_CA_FILE=" + testCertificate().certificate,
                        "SMTP_USER=bob", "SMTP_PASSWORD_FILE=" + password,
                        "SMTP_FROM=alerts@example.org", "SMTP_LOG=on", "ALERT_LIMIT= 3 , 60"});
    EXPECT_EQ(good.events, QStringList{});
    EXPECT_EQ(good.mail.security, SMTPClient::Security::StartTls);
    EXPECT_EQ(good.mail.caCertificates.size(), 1);
    EXPECT_EQ(good.mail.userName, "bob");
    EXPECT_EQ(good.mail.passwordFile, password);
    EXPECT_TRUE(good.mail.ErrorLog && good.mail.ErrorLog->LogActivity);
    EXPECT_EQ(good.alert.fromAddress, "alerts@example.org");
    EXPECT_EQ(std::pair(good.alert.limitCount, good.alert.limitSeconds), std::pair(3, qint64{60}));
    EXPECT_EQ(Applied({"SMTP_TLS=TLS"}).mail.security, SMTPClient::Security::Tls);

    const struct {
        QStringList lines;
        QString event; // the one event, from its start
    } rows[] = {
        {{"SMTP_TLS=yes"}, "ERROR: SMTP_TLS=yes: neither STARTTLS nor TLS"},
        {{"SMTP_CA_FILE=" + password}, "ERROR: SMTP_CA_FILE=" + password + ": no PEM certificate"},
        {{"SMTP_USER=bob", "SMTP_PASSWORD=hunter2"}, "ERROR: SMTP_USER=bob: the password is only"},
        {{"SMTP_TLS=TLS", "SMTP_USER=bob"}, "ERROR: SMTP_USER=bob: neither SMTP_PASSWORD_FILE"},
        {{"SMTP_TLS=TLS", "SMTP_USER=bob", "SMTP_PASSWORD_FILE=" + password + "-gone"},
         "WARNING: SMTP_PASSWORD_FILE=" + password + "-gone: not a readable file"},
        {{"SMTP_FROM=Prowlix alerts"}, "ERROR: SMTP_FROM=Prowlix alerts: not a mail address"},
        {{"SMTP_LOG=yes"}, "ERROR: SMTP_LOG=yes: neither ON nor OFF"},
        {{"ALERT_LIMIT=3"}, "ERROR: ALERT_LIMIT=3: not two positive numbers"},
        {{"ALERT_LIMIT=3,-1"}, "ERROR: ALERT_LIMIT=3,-1: not two positive numbers"},
    };
    for (const auto& row : rows) {
        const Applied applied(row.lines);
        ASSERT_EQ(applied.events.size(), 1) << row.lines.join(u' ').toStdString();
        EXPECT_TRUE(applied.events[0].startsWith(row.event)) << applied.events[0].toStdString();
        EXPECT_FALSE(applied.events[0].contains("hunter2"));
        EXPECT_TRUE(applied.mail.caCertificates.isEmpty() && applied.alert.fromAddress.isEmpty());
        EXPECT_EQ(applied.alert.limitCount, 0);
        EXPECT_FALSE(applied.mail.ErrorLog && applied.mail.ErrorLog->LogActivity);
        // Authentication only with TLS and a password; the stray TLS value leaves TLS off.
        EXPECT_EQ(applied.mail.security, row.lines.contains("SMTP_TLS=TLS")
                                             ? SMTPClient::Security::Tls
                                             : SMTPClient::Security::None);
    }

    QFile::setPermissions(password, QFileDevice::ReadOwner | QFileDevice::ReadOther);
    const Applied open({"SMTP_TLS=TLS", "SMTP_USER=bob", "SMTP_PASSWORD_FILE=" + password});
    ASSERT_EQ(open.events.size(), 1);
    EXPECT_TRUE(open.events[0].contains("other users can read it"));
    EXPECT_EQ(open.mail.userName, "bob"); // a warning only: the file still serves
}

#include "core/MailSettings.h"

#include "EngineDoubles.h"
#include "FakeProcesses.h"
#include "MailServers.h"
#include "TestSupport.h"
#include "core/AppSettings.h"
#include "core/ConfigINI.h"
#include "core/FailureAlert.h"
#include "log/Log.h"
#include "tasks/TaskFunctions.h"
#include "tasks/TaskTable.h"

#include <QFile>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

IPInfo hostOf(const char* name, const QByteArray& resolver) {
    HostSource source;
    source.hostName = [name] { return QString::fromLatin1(name); };
    source.resolverConfig = [resolver] { return resolver; };
    return IPInfo(source);
}

// The lines read as the monitor reads them, then the mail settings applied; a reading error is
// logged as start-up logs it.
struct Applied {
    QTemporaryDir dir;
    TaskTable tasks;
    TaskList up, down;
    testsupport::FakeProcesses processes;
    SMTPClient mail;
    IPInfo host = hostOf("box", "domain corp-net.example\n");
    Log log{ProgramInfo{dir.path(), "prowlix"}};
    TaskFunctions functions{tasks, up, down, log, processes};
    FailureAlert alert{tasks, mail, log};
    QStringList events;

    explicit Applied(const QStringList& lines, const IPInfo* hostInfo = nullptr) {
        log.LogActivity = true;
        if (hostInfo != nullptr)
            host = *hostInfo;
        mail.setHostInfo(&host);
        AppSettings settings;
        ConfigINI ini(settings, functions, mail, log);
        try {
            for (const QString& line : lines)
                ini.ParseINILine(line);
            MailSettings::apply(settings, mail, alert, log);
        } catch (const RuntimeError& error) {
            log.WriteLog(error.description());
        }
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
    EXPECT_EQ(good.mail.caFile, testCertificate().certificate);
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
        {{"SMTP_CA_FILE=" + password},
         "WARNING: SMTP_CA_FILE=" + password + ": no PEM certificate in it; alerts over TLS fail"},
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
        EXPECT_TRUE(applied.alert.fromAddress.isEmpty());
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

// The mail keys the sender cannot use, or that a reader may not expect to work as they do, each
// give one event that names key and value.
TEST(MailSettingsTest, MailKeysNameKeyAndValueWhenUnusableRepeatedOrRefusedByStrictServers) {
    QTemporaryDir dir;
    const QString fifo = dir.filePath("fifo");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const IPInfo noDomain = hostOf("box", "");
    const QStringList mail{"SMTP_SERVER=127.0.0.1", "SMTP_TO=ops@example.org"};
    const struct {
        QStringList lines;
        const IPInfo* host;
        QString event; // the one event, from its start; empty: none
    } rows[] = {
        {{"SMTP_PORT=40000"}, nullptr, "SMTP_PORT=40000: Overflow"},
        {{"Smtp_Timeout=soon"}, nullptr, "SMTP_TIMEOUT=soon: Type mismatch"},
        {{"SMTP_TIMEOUT=-1"}, nullptr, "ERROR: SMTP_TIMEOUT=-1: a negative time-out fails"},
        {{"SMTP_PORT=-5"}, nullptr, "ERROR: SMTP_PORT=-5: not a port"},
        {{"SMTP_TO=a@example.org", "SMTP_TO=b@example.org"},
         nullptr,
         "WARNING: SMTP_TO=b@example.org: SMTP_TO is given again; the last line wins"},
        {{"SMTP_FROM=a@example.org", "smtp_from=b@example.org"},
         nullptr,
         "WARNING: SMTP_FROM=b@example.org: SMTP_FROM is given again; the last line wins"},
        {{"SMTP_CA_FILE=" + fifo},
         nullptr,
         "WARNING: SMTP_CA_FILE=" + fifo + ": not a regular file; alerts over TLS fail"},
        {{"SMTP_HELO=bad name"}, nullptr, "ERROR: SMTP_HELO=bad name: not a host name"},
        // The greeting name strict servers refuse is said once, at start.
        {mail, nullptr, ""},
        {mail, &noDomain, "WARNING: the mail sender greets with HELO localdomain, a name without"},
        {mail + QStringList{"SMTP_FROM=alerts@example.org"}, &noDomain, ""},
        {mail + QStringList{"SMTP_HELO=box"}, nullptr,
         "WARNING: the mail sender greets with HELO box,"},
        {mail + QStringList{"SMTP_HELO=[::1]"}, &noDomain, ""},
    };
    for (const auto& row : rows) {
        const Applied applied(row.lines, row.host);
        ASSERT_EQ(applied.events.size(), row.event.isEmpty() ? 0 : 1)
            << qPrintable(row.lines.join(u' ') + ": " + applied.events.join(u'|'));
        if (!row.event.isEmpty()) {
            EXPECT_TRUE(applied.events[0].startsWith(row.event)) << qPrintable(applied.events[0]);
        }
    }
}

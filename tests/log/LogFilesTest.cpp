#include "Log.h"
#include "LogDirectory.h"
#include "LogRetention.h"
#include "TestSupport.h"

#include <QDir>
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/stat.h>

using testsupport::writeFile;

namespace {

QString systemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

TEST(LogDirectory, OptionThenProgramDirectoryThenTheSystemsPlaceForTheUser) {
    const QString cwd = QDir::currentPath();
    const struct {
        const char* option;
        const char* programDir;
        bool writable;
        uid_t uid;
        const char* stateHome;
        QString expected;
    } rows[] = {
        // /D: wins, made absolute and clean.
        {"/srv/logs/", "/usr/bin", false, 0, "", "/srv/logs"},
        {"logs/../here", "/opt/p", true, 1000, "", cwd + "/here"},
        // A writable program directory outside /usr is used as it is.
        {"", "/opt/prowlix", true, 0, "", "/opt/prowlix"},
        {"", "/usr-local-copy/bin", true, 1000, "", "/usr-local-copy/bin"},
        // Under /usr, or not writable: root and everyone else have their own places.
        {"", "/usr/bin", true, 0, "/state", "/var/log/prowlix"},
        {"", "/usr/local/bin", true, 1000, "/state", "/state/prowlix"},
        {"", "/usr", true, 1000, "", "/home/u/.local/state/prowlix"},
        {"", "/opt/readonly", false, 0, "", "/var/log/prowlix"},
        {"", "/opt/readonly", false, 1000, "", "/home/u/.local/state/prowlix"},
        // A relative XDG_STATE_HOME is ignored, as the XDG base directory convention says.
        {"", "/usr/bin", true, 1000, "state", "/home/u/.local/state/prowlix"},
    };
    for (const auto& row : rows) {
        LogDirectoryInputs inputs;
        inputs.option = QString::fromUtf8(row.option);
        inputs.programDir = QString::fromUtf8(row.programDir);
        inputs.programDirWritable = row.writable;
        inputs.uid = row.uid;
        inputs.stateHome = QString::fromUtf8(row.stateHome);
        inputs.home = QStringLiteral("/home/u");
        EXPECT_EQ(chooseLogDirectory(inputs), row.expected)
            << row.option << " " << row.programDir << " uid " << row.uid;
    }
}

TEST(LogDirectory, MissingLevelsAreCreatedAndAFileInTheWayIsRefused) {
    QTemporaryDir dir;
    const QString nested = dir.filePath(QStringLiteral("a/b/c"));
    EXPECT_EQ(prepareLogDirectory(nested, 0700), QString());
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(nested).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0077, 0u);                // private, whatever the umask
    EXPECT_EQ(prepareLogDirectory(nested), QString()); // already there

    ASSERT_TRUE(writeFile(dir.filePath(QStringLiteral("file"))));
    EXPECT_EQ(prepareLogDirectory(dir.filePath(QStringLiteral("file"))), systemText(ENOTDIR));
    EXPECT_EQ(prepareLogDirectory(dir.filePath(QStringLiteral("file/sub"))), systemText(ENOTDIR));
}

TEST(LogRetention, OnlyThisMonitorsDailyFilesPastTheLimitAreExpired) {
    const QDate today(2026, 12, 6);
    const QStringList names{
        "LOG.prowlix2026-11-26.txt",  // 10 days: expired
        "SMTP.prowlix2026-11-01.txt", // the mail stage log is this monitor's too
        "LOG.prowlix2026-11-29.txt",  // 7 days: the limit itself stays
        "LOG.prowlix2026-12-06.txt",  // today
        "LOG.prowlix2027-01-01.txt",  // a clock set back does not make this old
        "LOG.other2020-01-01.txt",    // another program's
        "LOG.prowlix2020-01-01.txt.gz",
        "LOG.prowlix-x2020-01-01.txt",
        "log.prowlix2020-01-01.txt",
        "MAIL.prowlix2020-01-01.txt",
        "LOG.prowlix2020-13-01.txt", // no such date
        "notes.txt"};
    EXPECT_EQ(LogRetention::expiredFiles(names, QStringLiteral("prowlix"), today, 7),
              QStringList({"LOG.prowlix2026-11-26.txt", "SMTP.prowlix2026-11-01.txt"}));
    EXPECT_EQ(LogRetention::expiredFiles(names, QStringLiteral("prowlix"), today, 1000),
              QStringList());
    // Names are matched literally: a dot in the program's name is no wildcard.
    EXPECT_EQ(LogRetention::expiredFiles({"LOG.pXrowlix2020-01-01.txt"}, QStringLiteral("p.rowlix"),
                                         today, 1),
              QStringList());
}

TEST(LogRetention, DeletesAtStartAndABadValueIsLoggedAndDeletesNothing) {
    QTemporaryDir dir;
    Log log(ProgramInfo{QStringLiteral("/nonexistent"), QStringLiteral("prowlix")});
    log.setDirectory(dir.path());
    log.LogActivity = true;
    const QDate today = QDate::currentDate();
    const auto name = [](const char* base, const QDate& date) {
        return testsupport::logFileName(QString::fromLatin1(base), QStringLiteral("prowlix"), date);
    };
    const QString old = name("LOG", today.addDays(-5));
    const QString kept = name("LOG", today.addDays(-2));
    const QString foreign = testsupport::logFileName(QStringLiteral("LOG"), QStringLiteral("other"),
                                                     today.addDays(-30));
    const auto files = [&] { return QDir(dir.path()).entryList(QDir::Files, QDir::Name); };
    const auto sorted = [](QStringList names) {
        names.sort();
        return names;
    };

    for (const char* bad : {"abc", "0", "-3", "1.5", "7 days"}) {
        for (const QString& file : {old, kept, foreign})
            ASSERT_TRUE(writeFile(dir.filePath(file)));
        LogRetention retention(log);
        retention.start(QString::fromLatin1(bad));
        EXPECT_TRUE(files().contains(old)) << bad;
        EXPECT_TRUE(testsupport::readFile(dir.filePath(name("LOG", today)))
                        .contains(QStringLiteral("ERROR: LOG_KEEP_DAYS (") + QLatin1String(bad)))
            << bad;
    }

    LogRetention retention(log);
    retention.start(QStringLiteral("3"));
    EXPECT_EQ(files(), sorted({name("LOG", today), kept, foreign}));

    // The pass after midnight sees the new date.
    retention.now = [&] { return QDateTime(today.addDays(2), QTime(0, 0, 1)); };
    retention.deleteExpired();
    EXPECT_EQ(files(), sorted({name("LOG", today), foreign}));
}

TEST(LogRetention, NextPassIsJustAfterTheNextLocalMidnight) {
    const QDate day(2026, 12, 6);
    EXPECT_EQ(LogRetention::untilNextRun(QDateTime(day, QTime(23, 59, 59))), 2000);
    EXPECT_EQ(LogRetention::untilNextRun(QDateTime(day, QTime(0, 0))), 24 * 3600 * 1000 + 1000);
}

} // namespace

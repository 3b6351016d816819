#include "Log.h"

#include "TestSupport.h"

#include <QDir>
#include <QLocale>
#include <gtest/gtest.h>

using testsupport::readFile;
using testsupport::writeFile;

namespace {

struct RecordingPresenter final : LogPresenter {
    QStringList messages;
    void showMessage(const QString& text) override { messages << text; }
    void openFile(const QString&) override {}
};

struct LogTest : ::testing::Test {
    QTemporaryDir dir;
    RecordingPresenter presenter;
    Log log{ProgramInfo{dir.path(), QStringLiteral("Prowlix")}, &presenter};

    QString path(const QString& base, const QDate& date = QDate::currentDate()) const {
        return dir.filePath(testsupport::logFileName(base, QStringLiteral("Prowlix"), date));
    }
    QStringList files() const { return QDir(dir.path()).entryList(QDir::Files, QDir::Name); }
};

} // namespace

TEST_F(LogTest, WritesOneStampedCrLfLinePerEventIntoTheDaysFileOnlyWhileActive) {
    log.WriteLog(QStringLiteral("lost"));
    EXPECT_TRUE(files().isEmpty());
    log.LogActivity = true;
    log.WriteLog(QStringLiteral("SYSTEM STARTED ()"));
    log.WriteLog(QStringLiteral("two\r\nlines\rand\nmore"));
    EXPECT_EQ(log.LogFileName(QDate(2024, 6, 1)),
              dir.filePath(QStringLiteral("LOG.Prowlix2024-06-01.txt")));

    const QString text = readFile(path(QStringLiteral("LOG")));
    const QStringList lines = text.split(QStringLiteral("\r\n"));
    ASSERT_EQ(lines.size(), 3) << qPrintable(text);
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral(" - SYSTEM STARTED ()")));
    EXPECT_TRUE(lines[1].endsWith(QStringLiteral(" - two  lines and more")))
        << "a break inside an event cannot split the line";
    EXPECT_EQ(lines[2], QString());
    EXPECT_EQ(text.count(QLatin1Char('\n')), text.count(QLatin1Char('\r')));

    Log smtp(ProgramInfo{dir.path(), QStringLiteral("Prowlix")});
    smtp.FileNameBase = QStringLiteral("SMTP");
    smtp.LogActivity = true;
    smtp.WriteLog(QStringLiteral("x"));
    EXPECT_TRUE(QFile::exists(path(QStringLiteral("SMTP"))));
    EXPECT_EQ(readFile(path(QStringLiteral("LOG"))), text) << "instances do not share a file";
}

TEST_F(LogTest, ContentsEndEveryLineWithCrLf) {
    const QDate day(2024, 1, 2);
    EXPECT_EQ(log.LogContents(day), QStringLiteral("Log file is empty."));
    const std::pair<QByteArray, QString> rows[] = {
        {"", ""}, {"a\r\nb", "a\r\nb\r\n"}, {"a\nb\n", "a\r\nb\r\n"}};
    for (const auto& [content, expected] : rows) {
        ASSERT_TRUE(writeFile(path(QStringLiteral("LOG"), day), content));
        EXPECT_EQ(log.LogContents(day), expected) << content.constData();
    }
}

TEST_F(LogTest, UnusableFileLosesTheLineWithoutFailing) {
    ASSERT_TRUE(QDir().mkdir(path(QStringLiteral("LOG"))));
    log.LogActivity = true;
    log.WriteLog(QStringLiteral("dropped"));
    log.WriteLog(QStringLiteral("dropped too"));
    EXPECT_EQ(log.LogContents(QDate::currentDate()), QString());
    EXPECT_TRUE(QFileInfo(path(QStringLiteral("LOG"))).isDir());
}

TEST_F(LogTest, DeleteAndPurgeTouchOnlyThisInstancesFiles) {
    const QString yesterday = QStringLiteral("LOG.Prowlix2020-01-01.txt");
    QStringList others = {
        QStringLiteral("LOG.Other2020-01-01.txt"), QStringLiteral("LOG.Prowlix2020-01-01.log"),
        QStringLiteral("SMTP.Prowlix2020-01-01.txt"), QStringLiteral("XLOG.Prowlix.txt")};
    for (const QString& name : others + QStringList{yesterday})
        ASSERT_TRUE(writeFile(dir.filePath(name)));
    log.LogActivity = true;
    log.WriteLog(QStringLiteral("today"));

    log.Delete();
    EXPECT_FALSE(QFile::exists(path(QStringLiteral("LOG"))));
    EXPECT_TRUE(QFile::exists(dir.filePath(yesterday)));
    log.Delete(); // nothing left to delete: still confirmed
    EXPECT_EQ(presenter.messages, QStringList(2, QStringLiteral("Log file deleted.")));

    log.WriteLog(QStringLiteral("today again"));
    log.Silent = true;
    log.Purge();
    others.sort();
    EXPECT_EQ(files(), others);
    EXPECT_EQ(presenter.messages.size(), 2) << "silent: no message";
    log.Silent = false;
    log.Purge();
    EXPECT_EQ(presenter.messages.last(), QStringLiteral("All log files deleted."));
}

TEST(LogTimeStampTest, ShortDateAndTimeWithSecondsMidnightGivesTheDateAlone) {
    const QDate date(2024, 6, 1);
    const QString dateText = QLocale::system().toString(date, QLocale::ShortFormat);
    EXPECT_EQ(Log::timeStamp(QDateTime(date, QTime(0, 0, 0))), dateText);
    const QString stamp = Log::timeStamp(QDateTime(date, QTime(13, 5, 9)));
    EXPECT_TRUE(stamp.startsWith(dateText + QLatin1Char(' ')) &&
                stamp.contains(QStringLiteral("05")) && stamp.contains(QStringLiteral("09")) &&
                !stamp.contains(QStringLiteral("UTC")) && !stamp.contains(QStringLiteral("GMT")))
        << qPrintable(stamp);
}

#include "Log.h"

#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <gtest/gtest.h>

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

    QString path(const QString& name) const { return dir.filePath(name); }
    QString today(const QString& base = QStringLiteral("LOG")) const {
        return path(base + QStringLiteral(".Prowlix") +
                    QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")) +
                    QStringLiteral(".txt"));
    }
    void create(const QString& name, const QByteArray& content = {}) const {
        QFile file(path(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    QStringList files() const { return QDir(dir.path()).entryList(QDir::Files, QDir::Name); }
};

} // namespace

TEST_F(LogTest, WritesOneStampedCrLfLinePerEventIntoTheDaysFile) {
    log.LogActivity = true;
    log.WriteLog(QStringLiteral("SYSTEM STARTED ()"));
    log.WriteLog(QStringLiteral("two\r\nlines\rand\nmore"));
    EXPECT_EQ(log.FileNameBase, QStringLiteral("LOG"));
    EXPECT_EQ(log.LogFileName(QDate(2024, 6, 1)),
              path(QStringLiteral("LOG.Prowlix2024-06-01.txt")));

    const QString text = testsupport::readFile(today());
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
    EXPECT_TRUE(QFile::exists(today(QStringLiteral("SMTP"))));
    EXPECT_EQ(testsupport::readFile(today()), text) << "instances do not share a file";
}

TEST_F(LogTest, InactiveLogWritesNothingAndKeepsItsBase) {
    log.WriteLog(QStringLiteral("lost"));
    EXPECT_TRUE(files().isEmpty());
    EXPECT_TRUE(log.FileNameBase.isEmpty());
}

TEST_F(LogTest, ContentsEndEveryLineWithCrLf) {
    EXPECT_EQ(log.LogContents(QDate(2024, 1, 1)), QStringLiteral("Log file is empty."));
    create(QStringLiteral("LOG.Prowlix2024-01-02.txt"));
    EXPECT_EQ(log.LogContents(QDate(2024, 1, 2)), QString());
    create(QStringLiteral("LOG.Prowlix2024-01-03.txt"), "a\r\nb");
    EXPECT_EQ(log.LogContents(QDate(2024, 1, 3)), QStringLiteral("a\r\nb\r\n"));
    create(QStringLiteral("LOG.Prowlix2024-01-04.txt"), "a\nb\n");
    EXPECT_EQ(log.LogContents(QDate(2024, 1, 4)), QStringLiteral("a\r\nb\r\n"));
}

TEST_F(LogTest, UnusableFileLosesTheLineWithoutFailing) {
    ASSERT_TRUE(QDir(dir.path()).mkdir(QFileInfo(today()).fileName()));
    log.LogActivity = true;
    log.WriteLog(QStringLiteral("dropped"));
    log.WriteLog(QStringLiteral("dropped too"));
    EXPECT_EQ(log.LogContents(QDate::currentDate()), QString());
    EXPECT_TRUE(QFileInfo(today()).isDir());
}

TEST_F(LogTest, DeleteAndPurgeTouchOnlyThisInstancesFiles) {
    const QString yesterday = QStringLiteral("LOG.Prowlix2020-01-01.txt");
    const QStringList others = {
        QStringLiteral("LOG.Other2020-01-01.txt"), QStringLiteral("LOG.Prowlix2020-01-01.log"),
        QStringLiteral("SMTP.Prowlix2020-01-01.txt"), QStringLiteral("XLOG.Prowlix.txt")};
    create(yesterday);
    for (const QString& name : others)
        create(name);
    log.LogActivity = true;
    log.WriteLog(QStringLiteral("today"));

    log.Delete();
    EXPECT_FALSE(QFile::exists(today()));
    EXPECT_TRUE(QFile::exists(path(yesterday)));
    log.Delete(); // nothing left to delete: still confirmed
    EXPECT_EQ(presenter.messages, QStringList({QStringLiteral("Log file deleted."),
                                               QStringLiteral("Log file deleted.")}));

    log.WriteLog(QStringLiteral("today again"));
    log.Silent = true;
    log.Purge();
    QStringList expected = others;
    expected.sort();
    EXPECT_EQ(files(), expected);
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
    EXPECT_TRUE(stamp.startsWith(dateText + QLatin1Char(' '))) << qPrintable(stamp);
    EXPECT_TRUE(stamp.contains(QStringLiteral("05")) && stamp.contains(QStringLiteral("09")))
        << qPrintable(stamp);
    EXPECT_FALSE(stamp.contains(QStringLiteral("UTC")) || stamp.contains(QStringLiteral("GMT")));
}

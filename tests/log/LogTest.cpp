#include "Log.h"

#include "TestSupport.h"

#include <QDir>
#include <QLocale>
#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

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
    // Every control character is a blank, tab aside: no NUL or escape sequence reaches the file.
    const char controls[] = "nul\0esc\x1b[31m del\x7f c1\xc2\x85 ls\xe2\x80\xa8 tab\t.";
    log.WriteLog(QString::fromUtf8(controls, sizeof controls - 1));
    EXPECT_EQ(log.LogFileName(QDate(2024, 6, 1)),
              dir.filePath(QStringLiteral("LOG.Prowlix2024-06-01.txt")));

    const QString text = readFile(path(QStringLiteral("LOG")));
    const QStringList lines = text.split(QStringLiteral("\r\n"));
    ASSERT_EQ(lines.size(), 4) << qPrintable(text);
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral(" - SYSTEM STARTED ()")));
    EXPECT_TRUE(lines[1].endsWith(QStringLiteral(" - two  lines and more")))
        << "a break inside an event cannot split the line";
    EXPECT_TRUE(lines[2].endsWith(QStringLiteral(" - nul esc [31m del  c1  ls  tab\t.")))
        << qPrintable(lines[2]);
    EXPECT_EQ(lines[3], QString());
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

// Only a regular file is written: a FIFO would hang the monitor, a link would write elsewhere.
TEST_F(LogTest, AnythingButARegularFileInPlaceLosesTheLineWithoutWaiting) {
    const QString day = path(QStringLiteral("LOG"));
    const QString elsewhere = dir.filePath(QStringLiteral("elsewhere"));
    ASSERT_TRUE(writeFile(elsewhere, "kept\n"));
    const std::pair<const char*, std::function<bool()>> rows[] = {
        {"directory", [&] { return QDir().mkdir(day); }},
        {"fifo", [&] { return ::mkfifo(QFile::encodeName(day).constData(), 0600) == 0; }},
        {"link", [&] { return QFile::link(elsewhere, day); }}};
    log.LogActivity = true;
    for (const auto& [what, make] : rows) {
        SCOPED_TRACE(what);
        ASSERT_TRUE(make());
        log.WriteLog(QStringLiteral("dropped"));
        EXPECT_FALSE(QFileInfo(day).isFile() && !QFileInfo(day).isSymLink());
        EXPECT_EQ(readFile(elsewhere), QStringLiteral("kept\n"));
        ASSERT_TRUE(QFileInfo(day).isDir() ? QDir().rmdir(day) : QFile::remove(day));
    }
}

// A file that cannot take the whole line (a full disk, here the file size limit) keeps whole
// lines only, and the next line that fits starts on a line of its own.
TEST_F(LogTest, LineThatDoesNotFitIsDroppedWhole) {
    log.LogActivity = true;
    log.WriteLog(QStringLiteral("first"));
    const qint64 size = QFileInfo(path(QStringLiteral("LOG"))).size();
    const auto previous = ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit low{static_cast<rlim_t>(size + 20), limit.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &low), 0);
    log.WriteLog(QString(100, QLatin1Char('x')));
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::signal(SIGXFSZ, previous);
    log.WriteLog(QStringLiteral("after"));
    const QStringList lines = readFile(path(QStringLiteral("LOG"))).split(QStringLiteral("\r\n"));
    ASSERT_EQ(lines.size(), 3) << qPrintable(lines.join(QLatin1Char('|')));
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral(" - first")));
    EXPECT_TRUE(lines[1].endsWith(QStringLiteral(" - after")));
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

// Some locales put the zone name in brackets or after a comma: none of it may be left.
TEST(LogTimeStampTest, NoLocaleLeavesZoneTextOrItsPunctuation) {
    const QDateTime when(QDate(2026, 12, 6), QTime(21, 53, 46));
    EXPECT_TRUE(Log::timeStamp(when, QLocale(QStringLiteral("es_ES")))
                    .endsWith(QStringLiteral(" 21:53:46")));
    for (const QLocale& locale : QLocale::matchingLocales(QLocale::AnyLanguage, QLocale::AnyScript,
                                                          QLocale::AnyTerritory)) {
        const QString stamp = Log::timeStamp(when, locale);
        EXPECT_TRUE(!stamp.contains(QStringLiteral("()")) &&
                    !stamp.contains(QStringLiteral("[]")) && !stamp.back().isSpace() &&
                    stamp.back() != QLatin1Char(',') && !stamp.contains(QStringLiteral("UTC")) &&
                    !stamp.contains(QStringLiteral("GMT")))
            << qPrintable(locale.name()) << ": " << qPrintable(stamp);
    }
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

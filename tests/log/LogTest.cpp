#include "log/Log.h"

#include "ManualClock.h"
#include "TestSupport.h"
#include "log/Guarded.h"
#include "log/LogDirectory.h"
#include "log/LogRetention.h"
#include "platform/StandardError.h"

#include <QDir>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>

using testsupport::readFile;
using testsupport::writeFile;

namespace {

struct LogTest : ::testing::Test, LogPresenter {
    QTemporaryDir dir;
    QStringList messages;
    testsupport::ManualClock clock;
    Log log{ProgramInfo{dir.path(), "prowlix"}, this, clock};

    void showMessage(const QString& text) override { messages << text; }
    void openFile(const QString&) override {}
    QString name(const char* base, QDate date = {}) const {
        return testsupport::logFileName(base, "prowlix",
                                        date.isValid() ? date : clock.wallTime().date());
    }
    QStringList todaysLines() const { return readFile(dir.filePath(name("LOG"))).split("\r\n"); }
    QStringList files() const { return QDir(dir.path()).entryList(QDir::Files, QDir::Name); }
};

TEST_F(LogTest, WritesOneStampedCrLfLinePerEventOnlyWhileActive) {
    log.WriteLog("lost");
    EXPECT_TRUE(files().isEmpty());
    log.LogActivity = true;
    // Every control character but tab is a blank: no line break, NUL or escape sequence.
    const char controls[] =
        "a\r\nb\rc\nd nul\0esc\x1b[31m del\x7f c1\xc2\x85 ls\xe2\x80\xa8 tab\t.";
    log.WriteLog(QString::fromUtf8(controls, sizeof controls - 1));
    const QStringList lines = todaysLines();
    ASSERT_EQ(lines.size(), 2) << qPrintable(lines.join('|'));
    EXPECT_EQ(lines[0],
              Log::timeStamp(clock.wallTime()) + " - a  b c d nul esc [31m del  c1  ls  tab\t.");
    Log smtp(ProgramInfo{dir.path(), "prowlix"}, nullptr, clock);
    smtp.FileNameBase = "SMTP";
    smtp.LogActivity = true;
    smtp.WriteLog("x");
    EXPECT_EQ(files(), QStringList({name("LOG"), name("SMTP")}));

    const QDate day(2024, 1, 2);
    EXPECT_EQ(log.LogContents(day), "Log file is empty.");
    for (const auto& [content, expected] :
         {std::pair{"", ""}, {"a\r\nb", "a\r\nb\r\n"}, {"a\nb\n", "a\r\nb\r\n"}}) {
        ASSERT_TRUE(writeFile(dir.filePath(name("LOG", day)), content));
        EXPECT_EQ(log.LogContents(day), expected) << content;
    }
}

// Only a regular file is written, whole lines only: a FIFO would hang the monitor, a link would
// write elsewhere, and a line cut short by a full disk (here the file size limit) would glue the
// next line onto its rest.
TEST_F(LogTest, AnythingButARegularFileOrALineThatDoesNotFitLosesTheLineWithoutWaiting) {
    const QString day = dir.filePath(name("LOG"));
    const QString elsewhere = dir.filePath("elsewhere");
    ASSERT_TRUE(writeFile(elsewhere, "kept\n"));
    const std::pair<const char*, std::function<bool()>> rows[] = {
        {"fifo", [&] { return ::mkfifo(QFile::encodeName(day).constData(), 0600) == 0; }},
        {"link", [&] { return QFile::link(elsewhere, day); }}};
    log.LogActivity = true;
    for (const auto& [what, make] : rows) {
        ASSERT_TRUE(make()) << what;
        log.WriteLog("dropped");
        EXPECT_FALSE(QFileInfo(day).isFile() && !QFileInfo(day).isSymLink()) << what;
        EXPECT_EQ(readFile(elsewhere), "kept\n") << what;
        ASSERT_TRUE(QFile::remove(day));
    }

    log.WriteLog("first");
    const auto previous = ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit low{static_cast<rlim_t>(2 * QFileInfo(day).size()), limit.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &low), 0);
    log.WriteLog(QString(100, 'x'));
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::signal(SIGXFSZ, previous);
    log.WriteLog("after");
    const QStringList lines = todaysLines();
    ASSERT_EQ(lines.size(), 3) << qPrintable(lines.join('|'));
    EXPECT_TRUE(lines[0].endsWith(" - first") && lines[1].endsWith(" - after") &&
                !lines[1].contains("xx"))
        << qPrintable(lines[1]);
}

TEST_F(LogTest, DeleteAndPurgeTouchOnlyThisInstancesFilesAndAlwaysConfirm) {
    const QStringList others = {"LOG.other2020-01-01.txt", "LOG.prowlix2020-01-01.log",
                                "SMTP.prowlix2020-01-01.txt", "XLOG.prowlix.txt"};
    for (const QString& file : others + QStringList{name("LOG", QDate(2020, 1, 1))})
        ASSERT_TRUE(writeFile(dir.filePath(file)));
    log.LogActivity = true;
    log.WriteLog("today");
    log.Delete();
    log.Delete(); // nothing left to delete: still confirmed
    EXPECT_EQ(files().size(), 5);
    log.Silent = true;
    log.Purge();
    EXPECT_EQ(files(), others);
    log.Silent = false;
    log.Purge();
    EXPECT_EQ(messages,
              QStringList({"Log file deleted.", "Log file deleted.", "All log files deleted."}));
}

// Warnings go to a standard error that a stalled reader may have filled: they are dropped, not
// waited for, the pipe the tasks share keeps blocking for them, and the next warning that gets
// through says how many were lost.
TEST(StandardError, AFullPipeCostsMessagesNeverAWaitAndTheNextOneCountsThem) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    NonBlockingOutput output(fds[1]);
    const QByteArray line = QByteArray(99, 'x') + '\n';
    int written = 0;
    while (output.write(line))
        ASSERT_LT(++written, 100000);
    EXPECT_TRUE(!output.write(line) && output.dropped() == 2);
    EXPECT_EQ(::fcntl(fds[1], F_GETFL) & O_NONBLOCK, 0);
    QByteArray drained(65536, '\0');
    qsizetype total = 0;
    for (ssize_t n = 0; total < written * line.size(); total += n)
        ASSERT_GT(n = ::read(fds[0], drained.data(), static_cast<size_t>(drained.size())), 0);
    EXPECT_EQ(total, written * line.size()); // whole lines only
    ASSERT_TRUE(output.write("next\n"));
    const ssize_t n = ::read(fds[0], drained.data(), static_cast<size_t>(drained.size()));
    EXPECT_EQ(drained.left(n), "Prowlix: (2 messages dropped: standard error was not taking any)\n"
                               "next\n");
    ::close(fds[0]);
    ::close(fds[1]);
}

// Some locales put the zone name in brackets or after a comma: none of it may be left.
TEST(LogTimeStamp, ShortDateAndTimeWithSecondsWithoutZoneTextInAnyLocale) {
    const QDateTime when(QDate(2026, 12, 6), QTime(21, 53, 46));
    EXPECT_TRUE(Log::timeStamp(when, QLocale("es_ES")).endsWith(" 21:53:46"));
    for (const QLocale& locale : QLocale::matchingLocales(QLocale::AnyLanguage, QLocale::AnyScript,
                                                          QLocale::AnyTerritory)) {
        const QString date = locale.toString(when.date(), QLocale::ShortFormat);
        const QString stamp = Log::timeStamp(when, locale);
        EXPECT_TRUE(stamp.startsWith(date + ' ') && !stamp.contains("()") &&
                    !stamp.contains("[]") && !stamp.back().isSpace() && stamp.back() != ',' &&
                    !stamp.contains("UTC") && !stamp.contains("GMT"))
            << qPrintable(locale.name()) << ": " << qPrintable(stamp);
        EXPECT_EQ(Log::timeStamp(QDateTime(when.date(), QTime(0, 0)), locale), date);
    }
}

TEST(LogDirectory, OptionThenProgramDirectoryThenTheSystemsPlaceForTheUser) {
    // Inputs: /D:, program directory and whether it is writable, uid, XDG_STATE_HOME, home.
    const std::pair<LogDirectoryInputs, QString> rows[] = {
        {{"/srv/logs/", "/usr/bin", false, 0, "", "/h"}, "/srv/logs"},
        {{"logs/../here", "/opt/p", true, 1000, "", "/h"}, QDir::currentPath() + "/here"},
        {{"", "/opt/prowlix", true, 0, "", "/h"}, "/opt/prowlix"},
        {{"", "/usr-local-copy/bin", true, 1000, "", "/h"}, "/usr-local-copy/bin"},
        // Under /usr, or not writable: root and everyone else have their own places.
        {{"", "/usr/bin", true, 0, "/state", "/h"}, "/var/log/prowlix"},
        {{"", "/usr/local/bin", true, 1000, "/state", "/h"}, "/state/prowlix"},
        {{"", "/opt/readonly", false, 1000, "", "/h"}, "/h/.local/state/prowlix"},
        // The XDG base directory convention ignores a relative value.
        {{"", "/usr/bin", true, 1000, "state", "/h"}, "/h/.local/state/prowlix"},
        // No home (HOME and the account's entry empty, relative or the root): never the root's
        // .local, the program's directory.
        {{"", "/usr/bin", true, 1000, "", "/"}, "/usr/bin"},
        {{"", "/opt/readonly", false, 1000, "", ""}, "/opt/readonly"}};
    for (const auto& [inputs, expected] : rows)
        EXPECT_EQ(chooseLogDirectory(inputs), expected) << qPrintable(inputs.programDir);
    // Created with its missing parents, private whatever the umask.
    QTemporaryDir dir;
    EXPECT_EQ(prepareLogDirectory(dir.filePath("a/b"), 0700), "");
    struct stat info {};
    EXPECT_TRUE(::stat(QFile::encodeName(dir.filePath("a/b")).constData(), &info) == 0 &&
                (info.st_mode & 0077) == 0);
}

TEST(LogRetention, OnlyThisMonitorsDailyFilesPastTheLimitAreExpired) {
    // 10 days old, and the mail stage log: expired; 7 days is the limit itself; a clock set back
    // does not make a file old; nothing but a daily file of this program is ever touched.
    const QStringList names{"LOG.prowlix2026-11-26.txt",   "SMTP.prowlix2026-11-01.txt",
                            "LOG.prowlix2026-11-29.txt",   "LOG.prowlix2027-01-01.txt",
                            "LOG.other2020-01-01.txt",     "LOG.prowlix2020-01-01.txt.gz",
                            "LOG.prowlix-x2020-01-01.txt", "log.prowlix2020-01-01.txt",
                            "MAIL.prowlix2020-01-01.txt",  "LOG.prowlix2020-13-01.txt"};
    const QDate today(2026, 12, 6);
    EXPECT_EQ(LogRetention::expiredFiles(names, "prowlix", today, 7), names.first(2));
    // A dot in the program's name is no wildcard.
    EXPECT_EQ(LogRetention::expiredFiles({"LOG.pXrowlix2020-01-01.txt"}, "p.rowlix", today, 1),
              QStringList());
    EXPECT_EQ(LogRetention::untilNextRun(QDateTime(today, QTime(23, 59, 59))), 2000);
}

TEST_F(LogTest, RetentionRunsAgainAfterEachMidnightAndABadValueIsLoggedAndDeletesNothing) {
    log.LogActivity = true;
    const QDate today = clock.wallTime().date();
    const QString old = name("LOG", today.addDays(-5));
    for (const char* bad : {"abc", "0", "1.5", "7 days"}) {
        ASSERT_TRUE(writeFile(dir.filePath(old)));
        LogRetention(log).start(bad);
        EXPECT_TRUE(files().contains(old)) << bad;
        EXPECT_TRUE(
            todaysLines().last(2)[0].contains("ERROR: LOG_KEEP_DAYS=" + QString(bad) + ": "));
    }
    // Only regular files go: a link, a FIFO or a directory of an old log's name stays.
    const QString link = name("LOG", today.addDays(-6)), fifo = name("LOG", today.addDays(-7)),
                  folder = name("SMTP", today.addDays(-8));
    ASSERT_TRUE(QFile::link(dir.filePath(old), dir.filePath(link)));
    ASSERT_EQ(::mkfifo(QFile::encodeName(dir.filePath(fifo)).constData(), 0600), 0);
    ASSERT_TRUE(QDir(dir.path()).mkdir(folder));
    clock.setWallTime(QDateTime(today, QTime(23, 59)));
    LogRetention retention(log);
    retention.start("5");
    EXPECT_EQ(QDir(dir.path())
                  .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name),
              QStringList({fifo, link, old, name("LOG"), folder}));
    for (const QString& kept : {link, fifo, folder})
        ASSERT_TRUE(QFile::remove(dir.filePath(kept)) || QDir(dir.path()).rmdir(kept));
    // Five days old until midnight; the run comes just after it, and again the next night.
    clock.advance(60 * 1000);
    EXPECT_TRUE(files().contains(old));
    clock.advance(1000);
    EXPECT_EQ(files(), QStringList({name("LOG", today)}));
    const QString next = name("SMTP", today.addDays(-4));
    ASSERT_TRUE(writeFile(dir.filePath(next)));
    clock.advance(24 * 3600 * 1000);
    EXPECT_EQ(files(), QStringList({name("LOG", today)}));
}

// One rule for every handler: whatever it throws is logged and goes no further.
TEST_F(LogTest, GuardedHandlersLogWhatTheyThrow) {
    log.LogActivity = true;
    guarded(log, [] { throw RuntimeError("runtime"); });
    guarded(log, [] { throw std::out_of_range("no such task"); });
    guarded(log, [] {});
    guarded(
        log, [] { throw RuntimeError("x"); },
        [](const QString& d) -> QString { return "ERROR: " + d; });
    QStringList events;
    for (const QString& line : todaysLines().first(4))
        events << line.section(" - ", 1);
    EXPECT_EQ(events, QStringList({"runtime", "no such task", "ERROR: x", ""}));
}

} // namespace

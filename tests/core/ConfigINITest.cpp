#include "ConfigINI.h"

#include "AppSettings.h"
#include "EngineDoubles.h"
#include "Log.h"
#include "SMTPClient.h"
#include "TaskFunctions.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <csignal>
#include <gtest/gtest.h>

namespace {

class IniReading : public ::testing::Test {
  protected:
    ~IniReading() override { killTasks(); }
    void killTasks() {
        for (int p = 1; p <= tasks.upperBound(); ++p)
            ::kill(tasks[p].ProcessId, SIGKILL);
    }
    QString writeFile(const QByteArray& content) {
        QFile file(dir.filePath(QStringLiteral("test.ini")));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
        return file.fileName();
    }

    QTemporaryDir dir;
    Log log{ProgramInfo{dir.path(), QStringLiteral("prowlix")}};
    TaskTable tasks;
    TaskList up, down;
    testsupport::SpyingProcesses processes;
    testsupport::SilentSignals signals;
    TaskFunctions functions{tasks, up, down, log, processes, signals};
    AppSettings settings;
    SMTPClient mail;
    ConfigINI ini{settings, functions, mail, log};
};

TEST(SplitFields, QuotesGroupCommasAndBlanksStay) {
    using F = QStringList;
    EXPECT_EQ(ConfigINI::SplitFields(""), (F{"", ""}));
    EXPECT_EQ(ConfigINI::SplitFields("a,b,"), (F{"", "a", "b"}));
    EXPECT_EQ(ConfigINI::SplitFields("a, b ,,"), (F{"", "a", " b ", ""}));
    EXPECT_EQ(ConfigINI::SplitFields("\"x,y\" z,n"), (F{"", "x,y z", "n"}));
    EXPECT_EQ(ConfigINI::SplitFields("a,\"open,rest"), (F{"", "a"}));
}

TEST_F(IniReading, CommentsKeysSettingsAndTaskLines) {
    log.LogActivity = true;
    for (const char* ignored : {"; port=1", "=value", "no equals sign", "a;=b"})
        ini.ParseINILine(ignored);
    EXPECT_TRUE(settings.INIEntries.isEmpty());

    for (const char* line :
         {"  Port = 8180 ; the status port", "port=90", "Key\t= a=b \t", "quoted=\"x;y\""})
        ini.ParseINILine(line);
    ASSERT_EQ(settings.INIEntries.size(), 4);
    EXPECT_EQ(settings.INIEntries[0].Key, "Port");
    EXPECT_EQ(settings.INIEntries[0].Value, "8180");
    EXPECT_EQ(settings.INIEntries[2].Key, "Key\t"); // only spaces are trimmed
    EXPECT_EQ(settings.INIEntries[2].Value, "a=b \t");
    EXPECT_EQ(settings.INIEntries[3].Value, "\"x");
    EXPECT_EQ(settings.GetINIValue("PORT"), "90");
    EXPECT_EQ(settings.GetINIValue("missing"), "");

    // Mail and log keys are applied at once and not stored.
    for (const char* line :
         {"smtp_server = mail.example.org", "SMTP_TO=one@example.org;two@example.org",
          "Smtp_Port= 2525.5 ", "SMTP_TIMEOUT=30", "SMTP_TIMEOUT=45", "log=on"})
        ini.ParseINILine(line);
    EXPECT_TRUE(log.LogActivity);
    EXPECT_EQ(mail.MailServer, "mail.example.org");
    EXPECT_EQ(mail.ToAddress, "one@example.org");
    EXPECT_EQ(mail.SMTPPort, 2526);
    EXPECT_EQ(mail.TimeOut, 45);
    ini.ParseINILine("Log=off");
    EXPECT_FALSE(log.LogActivity);
    EXPECT_EQ(settings.INIEntries.size(), 4);

    for (const char* line :
         {"start=sleep 3600,Sleeper,max,True", "Start=sleep 3601, Spaced, MIN, 0",
          "START=\"sleep 3602,\",,MIN,-1,ignored", "START=sleep 3603,Dup,Min,",
          "START=sleep 3603,Dup,other"})
        ini.ParseINILine(line);
    ASSERT_EQ(tasks.upperBound(), 5);
    EXPECT_EQ(processes.showValues, (QList<int>{3, 4, 2, 2, 4}));
    EXPECT_EQ(tasks[1].TaskName, "Sleeper");
    EXPECT_EQ(tasks[2].TaskName, " Spaced");
    EXPECT_EQ(tasks[3].PathAndFile, "sleep 3602,"); // the comma stays, the quotes go
    EXPECT_EQ(tasks[3].TaskName, "sleep 3602,");
    EXPECT_EQ(tasks[4].PathAndFile, tasks[5].PathAndFile);
    for (int p = 1; p <= 5; ++p) {
        EXPECT_EQ(tasks[p].TaskId, p);
        EXPECT_EQ(tasks[p].AutoRestart, p == 1 || p == 3) << p;
    }
    EXPECT_EQ(testsupport::errorText([&] { ini.ParseINILine("START=sleep 1,Bad,,maybe"); }),
              "Type mismatch");
}

TEST_F(IniReading, LineEndsAndByteOrderMarkReadAlikeAndEventsRunBetweenLines) {
    log.LogActivity = true;
    for (const QByteArray& content :
         {QByteArray("\xEF\xBB\xBFstart=sleep 3600,A\r\nk=1\r\n\r\nstart=sleep 3600,B\r\n"),
          QByteArray("start=sleep 3600,A\rk=1\rstart=sleep 3600,B"),
          QByteArray("start=sleep 3600,A\nk=1\n\nstart=sleep 3600,B\n")}) {
        killTasks();
        tasks.reset();
        settings.INIEntries.clear();
        int tasksWhenEventRan = -1;
        QTimer::singleShot(0, [&] { tasksWhenEventRan = tasks.upperBound(); });
        ini.LoadINIFile(writeFile(content));
        EXPECT_EQ(tasksWhenEventRan, 1);
        ASSERT_EQ(tasks.upperBound(), 2) << content.constData();
        EXPECT_EQ(tasks[1].TaskName, "A");
        EXPECT_EQ(tasks[2].TaskName, "B");
        ASSERT_EQ(settings.INIEntries.size(), 1);
        EXPECT_EQ(settings.INIEntries[0].Key, "k");
    }
}

TEST_F(IniReading, MissingFileReadsNothingUnreadableFileIsAnError) {
    ini.LoadINIFile(dir.filePath("absent.ini"));
    ini.LoadINIFile(dir.path()); // a directory is no file
    EXPECT_TRUE(settings.INIEntries.isEmpty());
    EXPECT_FALSE(ConfigINI::fileExists(dir.path()));
    // A file whose reading fails.
    EXPECT_NE(testsupport::errorText([&] { ini.LoadINIFile(QStringLiteral("/proc/self/mem")); }),
              "");
}

} // namespace

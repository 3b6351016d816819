#include "core/ConfigINI.h"

#include "EngineDoubles.h"
#include "FakeProcesses.h"
#include "TestSupport.h"
#include "core/AppSettings.h"
#include "log/Log.h"
#include "mail/SMTPClient.h"
#include "tasks/TaskFunctions.h"

#include <QTimer>
#include <gtest/gtest.h>

namespace {

class IniReading : public ::testing::Test {
  protected:
    void parse(std::initializer_list<const char*> lines) {
        for (const char* line : lines)
            ini.ParseINILine(line);
    }
    // What reading left: each stored entry as key|value, then each task as name|command|R.
    QStringList read() const {
        QStringList result;
        for (const INIEntry& entry : settings.INIEntries)
            result << entry.Key + '|' + entry.Value;
        for (int p = 1; p <= tasks.upperBound(); ++p)
            result << tasks[p].TaskName + '|' + tasks[p].PathAndFile +
                          (tasks[p].AutoRestart ? "|R" : "|");
        return result;
    }

    QTemporaryDir dir;
    Log log{ProgramInfo{dir.path(), "prowlix"}};
    TaskTable tasks;
    TaskList up, down;
    testsupport::FakeProcesses processes;
    TaskFunctions functions{tasks, up, down, log, processes};
    AppSettings settings;
    SMTPClient mail;
    ConfigINI ini{settings, functions, mail, log};
};

TEST(SplitFields, QuotesGroupCommasBlanksStayAndAnOpenQuoteDropsTheRest) {
    const std::pair<const char*, QStringList> rows[] = {{"", {"", ""}},
                                                        {"a, b ,,", {"", "a", " b ", ""}},
                                                        {"\"x,y\" z,n", {"", "x,y z", "n"}},
                                                        {"a,\"open,rest", {"", "a"}}};
    for (const auto& [text, fields] : rows)
        EXPECT_EQ(ConfigINI::SplitFields(text), fields) << text;
}

TEST_F(IniReading, CommentsKeysMailSettingsAndTaskLines) {
    log.LogActivity = true;
    parse({"; port=1", "=value", "no equals sign", "a;=b", "  Port = 8180 ; the status port",
           "port=90", "Key\t= a=b \t", "quoted=\"x;y\"", "start=sleep 3600,Sleeper,max,True",
           "Start=sleep 3601, Spaced, MIN, 0", "START=\"sleep 3602,\",,MIN,-1,umask=022",
           "START=sleep 3603,Dup,Min,", "START=sleep 3603,Dup,other"});
    // Mail and log keys are applied at once and not stored.
    parse({"smtp_server = mail.example.org", "SMTP_TO=one@example.org;two@example.org",
           "Smtp_Port= 2525.5 ", "SMTP_TIMEOUT=30", "SMTP_TIMEOUT=45", "Log=off"});
    EXPECT_EQ(read(),
              QStringList({"Port|8180", "port|90", "Key\t|a=b \t", "quoted|\"x",
                           "Sleeper|sleep 3600|R", " Spaced|sleep 3601|",
                           "sleep 3602,|sleep 3602,|R", "Dup|sleep 3603|", "Dup|sleep 3603|"}));
    EXPECT_EQ(processes.showValues, (QList<int>{3, 4, 2, 2, 4}));
    EXPECT_EQ(settings.GetINIValue("PORT"), "90");
    EXPECT_FALSE(log.LogActivity);
    EXPECT_EQ(mail.MailServer + ' ' + mail.ToAddress, "mail.example.org one@example.org");
    EXPECT_TRUE(mail.SMTPPort == 2526 && mail.TimeOut == 45);
    EXPECT_EQ(testsupport::errorText([&] { ini.ParseINILine("START=sleep 1,Bad,,maybe"); }),
              "Type mismatch");
}

TEST_F(IniReading, LineEndsAndByteOrderMarkReadAlikeAndEventsRunBetweenLines) {
    for (const char* content :
         {"\xEF\xBB\xBFstart=sleep 3600,A\r\nk=1\r\n\r\nstart=sleep 3600,B\r\n",
          "start=sleep 3600,A\rk=1\rstart=sleep 3600,B",
          "start=sleep 3600,A\nk=1\n\nstart=sleep 3600,B\n"}) {
        tasks.reset();
        settings.INIEntries.clear();
        int tasksWhenEventRan = -1;
        QTimer::singleShot(0, [&] { tasksWhenEventRan = tasks.upperBound(); });
        ASSERT_TRUE(testsupport::writeFile(dir.filePath("test.ini"), content));
        ini.LoadINIFile(dir.filePath("test.ini"));
        EXPECT_EQ(tasksWhenEventRan, 1);
        EXPECT_EQ(read(), QStringList({"k|1", "A|sleep 3600|", "B|sleep 3600|"})) << content;
    }
}

TEST_F(IniReading, MissingFileReadsNothingUnreadableFileIsAnError) {
    ini.LoadINIFile(dir.filePath("absent.ini"));
    EXPECT_TRUE(settings.INIEntries.isEmpty());
    // A directory is no file; the error names what could not be read.
    for (const QString& path : {dir.path(), QStringLiteral("/proc/self/mem")})
        EXPECT_TRUE(testsupport::errorText([&] {
                        ini.LoadINIFile(path);
                    }).startsWith("Error: INI file (" + path + ") "));
}

} // namespace

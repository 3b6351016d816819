#include "ConfigINI.h"

#include "AppSettings.h"
#include "Log.h"
#include "PosixProcessControl.h"
#include "RuntimeError.h"
#include "SMTPClient.h"
#include "SignalTarget.h"
#include "TaskFunctions.h"
#include "TestSupport.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <csignal>
#include <gtest/gtest.h>

namespace {

// The real launcher, remembering the show value it was asked for (it has no visible effect here).
class RecordingProcessControl final : public ProcessControl {
  public:
    qint32 launch(const QString& command, int showValue) override {
        showValues.append(showValue);
        return real.launch(command, showValue);
    }
    qint32 status(qint32 pid) override { return real.status(pid); }
    void requestClose(qint32 pid) override { real.requestClose(pid); }
    void setImmediateDetection(bool on) override { real.setImmediateDetection(on); }

    PosixProcessControl real;
    QList<int> showValues;
};

class QuietSignals final : public SignalTarget {
  public:
    void NotifyON() override {}
    void NotifyOFF() override {}
    void closeStatusListener() override {}
    void openStatusListener() override {}
};

void killAll(const TaskTable& tasks) {
    for (int p = 1; p <= tasks.upperBound(); ++p)
        ::kill(tasks[p].ProcessId, SIGKILL);
}

class IniReading : public ::testing::Test {
  protected:
    ~IniReading() override { killAll(tasks); }

    QString writeFile(const QByteArray& content) {
        const QString path = dir.filePath(QStringLiteral("test.ini"));
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(content);
        return path;
    }

    QTemporaryDir dir;
    Log log{ProgramInfo{dir.path(), QStringLiteral("prowlix")}};
    TaskTable tasks;
    TaskList up;
    TaskList down;
    RecordingProcessControl processes;
    QuietSignals signals;
    TaskFunctions functions{tasks, up, down, log, processes, signals};
    AppSettings settings;
    SMTPClient mail;
    ConfigINI ini{settings, functions, mail, log};
};

TEST(SplitFields, QuotesGroupCommasAndBlanksStay) {
    using F = QStringList;
    EXPECT_EQ(ConfigINI::SplitFields(""), (F{"", ""}));
    EXPECT_EQ(ConfigINI::SplitFields("a,b"), (F{"", "a", "b"}));
    EXPECT_EQ(ConfigINI::SplitFields("a,b,"), (F{"", "a", "b"}));
    EXPECT_EQ(ConfigINI::SplitFields("a, b ,,"), (F{"", "a", " b ", ""}));
    EXPECT_EQ(ConfigINI::SplitFields("\"x,y\" z,n"), (F{"", "x,y z", "n"}));
    EXPECT_EQ(ConfigINI::SplitFields("a,\"open,rest"), (F{"", "a"}));
}

TEST_F(IniReading, CommentsKeysAndStoredEntries) {
    log.LogActivity = true;
    ini.ParseINILine("; port=1");
    ini.ParseINILine("=value");
    ini.ParseINILine("no equals sign");
    ini.ParseINILine("a;=b");
    EXPECT_TRUE(settings.INIEntries.isEmpty());

    ini.ParseINILine("  Port = 8180 ; the status port");
    ini.ParseINILine("port=90");
    ini.ParseINILine("Key\t= a=b \t");
    ini.ParseINILine("quoted=\"x;y\"");
    ASSERT_EQ(settings.INIEntries.size(), 4);
    EXPECT_EQ(settings.INIEntries[0].Key, "Port");
    EXPECT_EQ(settings.INIEntries[0].Value, "8180");
    EXPECT_EQ(settings.INIEntries[2].Key, "Key\t"); // only spaces are trimmed
    EXPECT_EQ(settings.INIEntries[2].Value, "a=b \t");
    EXPECT_EQ(settings.INIEntries[3].Value, "\"x");
    EXPECT_EQ(settings.GetINIValue("PORT"), "90");
    EXPECT_EQ(settings.GetINIValue("missing"), "");

    ini.ParseINILine("smtp_server = mail.example.org");
    ini.ParseINILine("SMTP_TO=one@example.org;two@example.org");
    ini.ParseINILine("Smtp_Port= 2525.5 ");
    ini.ParseINILine("SMTP_TIMEOUT=30");
    ini.ParseINILine("SMTP_TIMEOUT=45");
    EXPECT_EQ(mail.MailServer, "mail.example.org");
    EXPECT_EQ(mail.ToAddress, "one@example.org");
    EXPECT_EQ(mail.SMTPPort, 2526);
    EXPECT_EQ(mail.TimeOut, 45);

    ini.ParseINILine("log=on");
    EXPECT_TRUE(log.LogActivity);
    ini.ParseINILine("Log=off");
    EXPECT_FALSE(log.LogActivity);
    EXPECT_EQ(settings.INIEntries.size(), 4);
}

TEST_F(IniReading, TaskLinesStartTasksWithTheirFields) {
    ini.ParseINILine("start=sleep 3600,Sleeper,max,True");
    ini.ParseINILine("Start=sleep 3601, Spaced, MIN, 0");
    ini.ParseINILine("START=\"sleep 3602,\",,MIN,-1,ignored");
    ini.ParseINILine("START=sleep 3603,Dup,Min,");
    ini.ParseINILine("START=sleep 3603,Dup,other");
    ASSERT_EQ(tasks.upperBound(), 5);
    EXPECT_EQ(processes.showValues, (QList<int>{3, 4, 2, 2, 4}));
    EXPECT_EQ(tasks[1].TaskName, "Sleeper");
    EXPECT_TRUE(tasks[1].AutoRestart);
    EXPECT_EQ(tasks[2].TaskName, " Spaced");
    EXPECT_FALSE(tasks[2].AutoRestart);
    EXPECT_EQ(tasks[3].PathAndFile, "sleep 3602,"); // the comma stays, the quotes go
    EXPECT_EQ(tasks[3].TaskName, "sleep 3602,");
    EXPECT_TRUE(tasks[3].AutoRestart);
    EXPECT_FALSE(tasks[4].AutoRestart);
    EXPECT_EQ(tasks[4].PathAndFile, tasks[5].PathAndFile);
    for (int p = 1; p <= 5; ++p)
        EXPECT_EQ(tasks[p].TaskId, p);

    try {
        ini.ParseINILine("START=sleep 1,Bad,,maybe");
        FAIL() << "no error";
    } catch (const RuntimeError& error) {
        EXPECT_EQ(error.description(), "Type mismatch");
    }
}

TEST_F(IniReading, LineEndsAndByteOrderMarkReadAlike) {
    log.LogActivity = true;
    const QByteArray lines[] = {
        "\xEF\xBB\xBFstart=sleep 3600,A\r\nk=1\r\n\r\nstart=sleep 3600,B\r\n",
        "start=sleep 3600,A\rk=1\rstart=sleep 3600,B",
        "start=sleep 3600,A\nk=1\n\nstart=sleep 3600,B\n"};
    for (const QByteArray& content : lines) {
        killAll(tasks);
        tasks.reset();
        settings.INIEntries.clear();
        ini.LoadINIFile(writeFile(content));
        ASSERT_EQ(tasks.upperBound(), 2) << content.constData();
        EXPECT_EQ(tasks[1].TaskName, "A");
        EXPECT_EQ(tasks[2].TaskName, "B");
        ASSERT_EQ(settings.INIEntries.size(), 1);
        EXPECT_EQ(settings.INIEntries[0].Key, "k");
    }
}

TEST_F(IniReading, EventsRunBetweenLines) {
    int tasksWhenEventRan = -1;
    QTimer::singleShot(0, [&] { tasksWhenEventRan = tasks.upperBound(); });
    ini.LoadINIFile(writeFile("start=sleep 3600\nstart=sleep 3600\nstart=sleep 3600\n"));
    EXPECT_EQ(tasksWhenEventRan, 1);
    EXPECT_EQ(tasks.upperBound(), 3);
}

TEST_F(IniReading, MissingFileReadsNothingUnreadableFileIsAnError) {
    ini.LoadINIFile(dir.filePath("absent.ini"));
    ini.LoadINIFile(dir.path()); // a directory is no file
    EXPECT_TRUE(settings.INIEntries.isEmpty());
    EXPECT_FALSE(ConfigINI::fileExists(dir.path()));
    try {
        ini.LoadINIFile(QStringLiteral("/proc/self/mem")); // a file whose reading fails
        FAIL() << "no error";
    } catch (const RuntimeError& error) {
        EXPECT_FALSE(error.description().isEmpty());
    }
}

} // namespace

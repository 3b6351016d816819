#include "TaskFunctions.h"

#include "Log.h"
#include "PosixProcessControl.h"
#include "SignalTarget.h"
#include "TestSupport.h"

#include <QDate>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

TEST(FileNameOf, TextAfterTheLastSeparator) {
    EXPECT_EQ(TaskFunctions::FileNameOf("C:\\Tools\\app.exe -x"), "app.exe -x");
    EXPECT_EQ(TaskFunctions::FileNameOf("C:\\Tools\\app.exe D:\\data\\in.txt"), "in.txt");
    EXPECT_EQ(TaskFunctions::FileNameOf("\"C:\\Program Files\\Tool\\tool.exe\""), "tool.exe\"");
    EXPECT_EQ(TaskFunctions::FileNameOf("/usr/bin/sleep 3600"), "sleep 3600");
    EXPECT_EQ(TaskFunctions::FileNameOf("sh -c \"sleep 7\""), "sh -c \"sleep 7\"");
    EXPECT_EQ(TaskFunctions::FileNameOf("dir\\"), "");
    EXPECT_EQ(TaskFunctions::FileNameOf(""), "");
}

class NoSignals final : public SignalTarget {
  public:
    void NotifyON() override {}
    void NotifyOFF() override {}
    void closeStatusListener() override {}
    void openStatusListener() override {}
};

TEST(StartTask, FullTableRefusesBeforeLaunching) {
    QTemporaryDir dir;
    Log log{ProgramInfo{dir.path(), QStringLiteral("prowlix")}};
    log.LogActivity = true;
    TaskTable tasks;
    TaskList up, down;
    PosixProcessControl processes;
    NoSignals signals;
    TaskFunctions functions(tasks, up, down, log, processes, signals);
    tasks.TaskCount = TaskTable::maxTasks;

    const QString marker = dir.filePath(QStringLiteral("launched"));
    QString name;
    qint16 mode = 7;
    functions.StartTask(name, QStringLiteral("touch ") + marker, mode, false);
    EXPECT_EQ(mode, 4);
    EXPECT_EQ(name, "launched");
    EXPECT_TRUE(
        testsupport::readFile(log.LogFileName(QDate::currentDate())).endsWith(" - Overflow\r\n"));
    EXPECT_EQ(up.count(), 0);
    // Give a launch every chance to have happened.
    EXPECT_FALSE(testsupport::waitUntil([&] { return QFileInfo::exists(marker); },
                                        std::chrono::milliseconds(300)));
}

} // namespace

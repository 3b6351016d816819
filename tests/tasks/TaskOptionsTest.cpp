// A task's own options, applied to real children and refused with a reason when unusable.
#include "EngineDoubles.h"
#include "TestSupport.h"
#include "log/Log.h"
#include "platform/OutputFile.h"
#include "tasks/TaskFunctions.h"

#include <QFile>
#include <csignal>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using testsupport::waitUntil;

namespace {

class TaskOptionsOnChildren : public ::testing::Test {
  protected:
    TaskOptionsOnChildren() {
        log.LogActivity = true;
        ::chmod(QFile::encodeName(dir.path()).constData(), 0777); // another user writes here too
    }
    ~TaskOptionsOnChildren() override {
        for (int p = 1; p <= tasks.upperBound(); ++p)
            ::kill(tasks[p].ProcessId, SIGKILL);
    }
    // Starts a shell script with the options; returns what it wrote to $OUT.
    QString run(const QString& script, const QStringList& options) {
        const QString out = dir.filePath(QStringLiteral("out%1").arg(++runs));
        QString name = QStringLiteral("T");
        qint16 mode = 0;
        functions.StartTask(
            name, QStringLiteral("sh -c '{ %1; } > %2.new && mv %2.new %2'").arg(script, out), mode,
            false, options);
        if (!waitUntil([&] { return testsupport::readFile(out).endsWith('\n'); }))
            return QStringLiteral("nothing written: ") + lastEvent();
        return testsupport::readFile(out).trimmed();
    }
    QString lastEvent() {
        return log.LogContents(QDate::currentDate())
            .split("\r\n", Qt::SkipEmptyParts)
            .value(-1 + log.LogContents(QDate::currentDate()).count("\r\n"))
            .section(QStringLiteral(" - "), 1);
    }
    QString file(const char* name, const QByteArray& content) {
        const QString path = dir.filePath(QLatin1String(name));
        testsupport::writeFile(path, content);
        return path;
    }

    QTemporaryDir dir;
    Log log{ProgramInfo{dir.path(), QStringLiteral("prowlix")}};
    TaskTable tasks;
    TaskList up, down;
    testsupport::SpyingProcesses processes;
    TaskFunctions functions{tasks, up, down, log, processes};
    int runs = 0;
};

TEST_F(TaskOptionsOnChildren, EachOptionReachesTheChild) {
    const QString env =
        file("task.env", "# comment\n\nGREETING=hello world\r\nPATH=/usr/bin:/bin\n");
    const QString work = dir.filePath(QStringLiteral("work"));
    ASSERT_TRUE(QDir().mkpath(work));
    const std::pair<QString, QStringList> rows[] = {
        {"pwd", {"dir=" + work}},
        {"echo \"$GREETING:$PATH\"", {"env=" + env}},
        {"umask", {"umask=027"}},
        {"umask; pwd", {"umask=0002", "dir=" + work, "restart_delay=0.5,4", "check=tcp:1"}},
    };
    const QString expected[] = {work, "hello world:/usr/bin:/bin", "0027", "0002\n" + work};
    for (size_t i = 0; i < std::size(rows); ++i)
        EXPECT_EQ(run(rows[i].first, rows[i].second), expected[i])
            << qPrintable(rows[i].second.join(' '));
    EXPECT_EQ(tasks[4].options.checks.size(), 1);
    EXPECT_EQ(tasks[4].options.restartDelay->minMs, 500);
}

TEST_F(TaskOptionsOnChildren, UserSetsIdentityGroupsAndLoginVariables) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "running a task as another user needs root";
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    EXPECT_EQ(run("id -u; id -g; echo $HOME $USER $LOGNAME", {"user=nobody"}).toStdString(),
              QStringLiteral("%1\n%2\n%3 nobody nobody")
                  .arg(nobody->pw_uid)
                  .arg(nobody->pw_gid)
                  .arg(QString::fromLocal8Bit(nobody->pw_dir))
                  .toStdString());
    // A chosen group; root's supplementary groups are gone.
    EXPECT_EQ(run("id -u; id -G", {"user=nobody:root"}).toStdString(),
              QStringLiteral("%1\n0").arg(nobody->pw_uid).toStdString());
}

TEST_F(TaskOptionsOnChildren, UnusableOptionsKeepTheTaskFromStartingWithTheReason) {
    const bool root = ::geteuid() == 0;
    const QString notRoot = "only a monitor running as root may run a task as another user";
    const QString malformed = file("bad.env", "GOOD=1\nthis line has no equals sign\n");
    const std::pair<QStringList, QString> rows[] = {
        {{"bogus=1"}, "bogus=1: unknown option"},
        {{"dir"}, "dir: not an option (name=value)"},
        {{"user="}, "user=: no value"},
        {{"user=prowlix-no-such-user"},
         "user=prowlix-no-such-user: " + (root ? QStringLiteral("no such user") : notRoot)},
        {{"user=root:prowlix-no-such-group"},
         "user=root:prowlix-no-such-group: " + (root ? QStringLiteral("no such group") : notRoot)},
        {{"dir=/nonexistent/prowlix"}, "dir=/nonexistent/prowlix: No such file or directory"},
        {{"dir=" + malformed}, "dir=" + malformed + ": Not a directory"},
        {{"env=/nonexistent/prowlix"}, "env=/nonexistent/prowlix: No such file or directory"},
        {{"env=" + malformed}, "env=" + malformed + ": line 2 is not KEY=value"},
        {{"umask=800"}, "umask=800: expected an octal mask from 0 to 777"},
        {{"stop=NOPE"}, "stop=NOPE: no such signal"},
        {{"restart_delay=5,1"}, "restart_delay=5,1: min is above max"},
        {{"restart_delay=0,1"},
         "restart_delay=0,1: expected min,max (two positive numbers of "
         "seconds)"},
        {{"restart_delay=x"},
         "restart_delay=x: expected min,max (two positive numbers of "
         "seconds)"},
        {{"restart_limit=3"},
         "restart_limit=3: expected count,seconds (two positive whole "
         "numbers)"},
    };
    int failures = 0;
    for (const auto& [options, reason] : rows) {
        QString name = QStringLiteral("Web");
        qint16 mode = 0;
        functions.StartTask(name, QStringLiteral("sleep 3600"), mode, true, options);
        EXPECT_EQ(lastEvent(), "ERROR: Unable to start Web (sleep 3600): " + reason);
        EXPECT_EQ(functions.startFailures(), ++failures);
    }
    EXPECT_EQ(tasks.upperBound(), 0);
    EXPECT_TRUE(processes.showValues.size() <= 8); // refused before launching where it can be
}

// The stop signal asks the task to close.
TEST_F(TaskOptionsOnChildren, StopSignalIsTheOneAskedFor) {
    const QString out = dir.filePath(QStringLiteral("stopped"));
    QString name = QStringLiteral("T");
    qint16 mode = 0;
    functions.StartTask(
        name,
        QStringLiteral("sh -c 'trap \"echo INT > %1; exit 0\" INT; sleep 3600 & wait'").arg(out),
        mode, false, {QStringLiteral("stop=SIGINT")});
    ASSERT_EQ(tasks.upperBound(), 1);
    // The shell must have set its trap before the signal comes.
    const auto catches = [&] {
        const QString status =
            testsupport::readFile(QStringLiteral("/proc/%1/status").arg(tasks[1].ProcessId));
        const QString mask = status.section(QStringLiteral("SigCgt:"), 1).section('\n', 0, 0);
        return (mask.trimmed().toULongLong(nullptr, 16) & (1ULL << (SIGINT - 1))) != 0;
    };
    ASSERT_TRUE(waitUntil(catches));
    processes.requestClose(tasks[1].ProcessId);
    EXPECT_TRUE(waitUntil([&] { return testsupport::readFile(out) == "INT\n"; }));
}

// Output goes to files the monitor opens; names are made safe and never shared; files rotate.
TEST_F(TaskOptionsOnChildren, OutputIsCapturedRotatedAndItsTailRead) {
    const QString outputs = dir.filePath(QStringLiteral("output"));
    functions.configureOutput(dir.filePath(QStringLiteral("out1")), "", ""); // a file, not a dir
    testsupport::writeFile(dir.filePath(QStringLiteral("notadir")));
    functions.configureOutput(dir.filePath(QStringLiteral("notadir")), "12", "-1");
    for (const char* key :
         {"OUTPUT_DIR=", "OUTPUT_MAX_BYTES=12: expected a number of bytes", "OUTPUT_BACKUPS=-1"})
        EXPECT_TRUE(log.LogContents(QDate::currentDate()).contains(key)) << key;
    functions.configureOutput(outputs, "1024", "2");
    EXPECT_FALSE(functions.capturing());
    const QString own = dir.filePath(QStringLiteral("own.txt"));
    const QString loud = QStringLiteral("sh -c 'echo out; echo err >&2; exec sleep 3600'");
    const std::pair<QString, QStringList> starts[] = {{"../My Task", {}},
                                                      {"../My Task", {}},
                                                      {"Own", {"output=" + own}},
                                                      {"Blocked", {"output=" + outputs}}};
    for (const auto& [taskName, options] : starts) {
        QString name = taskName;
        qint16 mode = 0;
        functions.StartTask(name, loud, mode, false, options);
    }
    ASSERT_EQ(tasks.upperBound(), 4) << qPrintable(log.LogContents(QDate::currentDate()));
    EXPECT_TRUE(functions.capturing());
    const QString paths[] = {outputs + "/_._My_Task.log", outputs + "/_._My_Task.2.log", own};
    for (int p = 1; p <= 3; ++p) {
        EXPECT_EQ(tasks[p].outputPath, paths[p - 1]);
        EXPECT_TRUE(waitUntil([&] { return testsupport::readFile(paths[p - 1]) == "out\nerr\n"; }))
            << qPrintable(paths[p - 1]);
    }
    EXPECT_TRUE(log.LogContents(QDate::currentDate())
                    .contains("OUTPUT: Blocked: cannot open " + outputs +
                              ": Is a directory; its "
                              "output goes to /dev/null"));

    // A running task's file is copied and emptied; the task goes on writing to it.
    QByteArray big;
    for (int i = 1; i <= 200; ++i)
        big += "line " + QByteArray::number(i) + '\n';
    QFile file(own);
    ASSERT_TRUE(file.open(QIODevice::Append) && file.write(big) == big.size());
    file.close();
    EXPECT_EQ(lastOutputLines(own, 2), QStringList({"line 199", "line 200"}));
    EXPECT_EQ(lastOutputLines(own, 20, 16), QStringList({"line 200"})); // only the tail is read
    functions.rotateOutputs();
    EXPECT_EQ(QFileInfo(own).size(), 0);
    EXPECT_TRUE(testsupport::readFile(own + ".1").endsWith("line 200\n"));
    EXPECT_TRUE(lastOutputLines(dir.filePath(QStringLiteral("absent"))).isEmpty());
}

} // namespace

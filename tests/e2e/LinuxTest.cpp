// The monitor as a Linux user meets it: information options, the log directory and shell-style
// quoting, on the real binary.
#include "MonitorProcess.h"
#include "TestSupport.h"

#include <QRegularExpression>
#include <algorithm>
#include <gtest/gtest.h>
#include <sys/resource.h>

using testsupport::answers;
using testsupport::MonitorProcess;
using testsupport::readFile;
using testsupport::waitUntil;

TEST(LinuxTest, HelpAndVersionPrintAndStartNothing) {
    const quint16 port = testsupport::freePort();
    const std::pair<QStringList, QString> rows[] = {
        {{"/NOGUI", QStringLiteral("/P:%1").arg(port), "-h", "sleep 60"},
         "^Usage: prowlix .*--version"},
        {{"--version"}, "^prowlix \\d+\\.\\d+\\.\\d+\\n$"}};
    for (const auto& [arguments, expected] : rows) {
        SCOPED_TRACE(qPrintable(arguments.join(' ')));
        MonitorProcess monitor;
        monitor.start(arguments);
        ASSERT_TRUE(monitor.process().waitForFinished(10000));
        EXPECT_EQ(monitor.process().exitCode(), 0);
        const QString output = QString::fromLocal8Bit(monitor.process().readAllStandardOutput());
        EXPECT_TRUE(QRegularExpression(expected, QRegularExpression::DotMatchesEverythingOption)
                        .match(output)
                        .hasMatch())
            << qPrintable(output);
        EXPECT_EQ(QDir(monitor.dir()).entryList(QDir::Files), QStringList{"prowlix"});
        EXPECT_EQ(testsupport::askPort(port), "refused");
    }
}

// A file where the log directory should be costs the lines and one warning, not the service.
TEST(LinuxTest, UnusableLogDirectoryIsOneWarning) {
    MonitorProcess monitor;
    const QString file = monitor.dir() + "/file";
    ASSERT_TRUE(testsupport::writeFile(file));
    monitor.process().setProcessChannelMode(QProcess::SeparateChannels);
    const quint16 port = testsupport::freePort();
    monitor.start({"/NOGUI", "/D:" + file, QStringLiteral("/P:%1").arg(port), "sleep 60"});
    ASSERT_TRUE(answers(port));
    ASSERT_TRUE(monitor.stop());
    const QStringList warnings = QString::fromLocal8Bit(monitor.process().readAllStandardError())
                                     .split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(warnings.size(), 1) << qPrintable(warnings.join('\n'));
    EXPECT_TRUE(warnings[0].contains(file));
}

// An INI file's commands, the log directory option and LOG_KEEP_DAYS at start-up; a task starts
// and its health probe start with the descriptor limit the monitor was given, though the monitor
// lifts its own.
TEST(LinuxTest, CommandsQuoteLikeAShellButRunNoneAndOldLogsGo) {
    MonitorProcess monitor;
    const QDir dir(monitor.dir());
    const QString logs = dir.filePath("var/logs"), out = dir.filePath("out"),
                  limit = dir.filePath("limit"), probeLimit = dir.filePath("probe-limit");
    const QString expired =
        testsupport::logFileName("LOG", "prowlix", QDate::currentDate().addDays(-10));
    ASSERT_TRUE(dir.mkpath(logs) && testsupport::writeFile(logs + u'/' + expired));
    QTemporaryDir marks;
    const QString mark = marks.path() + u'/';
    ASSERT_TRUE(testsupport::writeFile(
        dir.filePath("tasks.ini"),
        ("START=sh -c 'echo $1 > " + out + " && exec sleep 60' zero 'two words',Quoted,,False\n" +
         "LOG_KEEP_DAYS=2\nport=" + QString::number(testsupport::freePort()) +
         "\nSTART=/usr/bin/touch " + mark + "a|b " + mark + "$(id) " + mark + "`id` " + mark +
         "c>e,Touch,,False\nSTART=sh -c 'ulimit -Sn > " + limit + "' limit,Limit,,False\n" +
         "START=sleep 60,Probed,,False,check=exec:sh -c 'ulimit -Sn > " + probeLimit +
         "',check_grace=0,check_interval=0.1\n")
            .toUtf8()));
    monitor.process().setChildProcessModifier([] {
        rlimit given{};
        ::getrlimit(RLIMIT_NOFILE, &given);
        given.rlim_cur = std::min<rlim_t>(given.rlim_max, 512);
        ::setrlimit(RLIMIT_NOFILE, &given);
    });
    monitor.start({"/NOGUI", "/D:var/logs", "/I:tasks.ini"});
    const auto log = [&] {
        return readFile(logs + u'/' + testsupport::logFileName("LOG", "prowlix"));
    };
    ASSERT_TRUE(waitUntil([&] { return log().contains("TASK FAILURE: Touch ("); }))
        << qPrintable(log());
    EXPECT_TRUE(waitUntil([&] { return readFile(out) == "two words\n"; }));
    for (const QString& file : {limit, probeLimit})
        EXPECT_TRUE(waitUntil([&] { return readFile(file) == "512\n"; })) << qPrintable(file);
    // No shell: touch has exited, and every file it made is named literally.
    EXPECT_EQ(QDir(marks.path()).entryList(QDir::Files, QDir::Name),
              (QStringList{"$(id)", "`id`", "a|b", "c>e"}));
    EXPECT_TRUE(waitUntil([&] { return !QFile::exists(logs + u'/' + expired); }));
    EXPECT_TRUE(monitor.log().isEmpty()); // nothing beside the executable
    EXPECT_TRUE(monitor.stop());
}

// An argument holding a double quote is refused with an event naming it; the arguments after it
// keep their meaning (the log directory here), and none is forged from its text (other.ini).
TEST(LinuxTest, AnArgumentHoldingADoubleQuoteIsRefusedAndTheRestHonoured) {
    MonitorProcess monitor;
    monitor.start({"/NOGUI", "./x.sh \"72", "/D:logs", "x.sh 71\" \"/I:other.ini", "sleep 60"});
    const auto log = [&] {
        return readFile(monitor.dir() + "/logs/" + testsupport::logFileName("LOG", "prowlix"));
    };
    ASSERT_TRUE(waitUntil([&] { return log().contains("START: sleep 60 (sleep 60)"); }))
        << qPrintable(monitor.log());
    for (const char* argument : {"./x.sh \"72", "x.sh 71\" \"/I:other.ini"})
        EXPECT_TRUE(log().contains("ERROR: Argument refused (" + QString(argument) + ")"))
            << qPrintable(log());
    EXPECT_FALSE(log().contains("INI file"));
    EXPECT_TRUE(monitor.stop());
}

// SIGTERM while a long INI file is still starting its tasks: the file's kill line, its last,
// already holds for every task started, so none is left running unsupervised.
TEST(LinuxTest, AStopSignalDuringStartUpHonoursTheFilesKillLine) {
    MonitorProcess monitor;
    QByteArray ini;
    for (int i = 0; i < 3000; ++i)
        ini += "START=sleep 4321.5,S" + QByteArray::number(i) + ",,False\n";
    ASSERT_TRUE(testsupport::writeFile(monitor.dir() + "/tasks.ini", ini + "kill=True\n"));
    monitor.start({"/I:tasks.ini", QStringLiteral("/P:%1").arg(testsupport::freePort())});
    ASSERT_TRUE(monitor.waitForLog("START: S100 ("));
    ASSERT_TRUE(monitor.stop());
    ASSERT_FALSE(monitor.log().contains("START: S2999 (")); // it stopped during start-up
    // The tasks of an ended monitor are this test's children: none may still run.
    const QString wanted = QString::fromLatin1("sleep\0"
                                               "4321.5\0",
                                               13);
    const auto running = [&] {
        int count = 0;
        const QDir proc("/proc");
        for (const QString& pid : proc.entryList(QDir::Dirs))
            if (readFile("/proc/" + pid + "/cmdline") == wanted &&
                !readFile("/proc/" + pid + "/stat").contains(") Z "))
                ++count;
        return count;
    };
    EXPECT_TRUE(waitUntil([&] { return running() == 0; })) << running();
}

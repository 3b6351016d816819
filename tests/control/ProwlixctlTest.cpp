// prowlixctl against real monitors, real children and the real socket.

#include "ControlledMonitor.h"

#include <QDir>
#include <QJsonArray>
#include <QRegularExpression>
#include <QStandardPaths>
#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace testsupport;

namespace {

int connectUnix(const QString& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray bytes = QFile::encodeName(path);
    std::memcpy(address.sun_path, bytes.constData(), static_cast<size_t>(bytes.size()));
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// What the peer sends until it closes or the deadline passes; closed tells which.
QByteArray readUntilClosed(int fd, bool* closed, int deadlineMs = 10000) {
    QByteArray received;
    *closed = false;
    char buffer[4096];
    pollfd wait{fd, POLLIN, 0};
    while (::poll(&wait, 1, deadlineMs) > 0) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            *closed = true;
            break;
        }
        received.append(buffer, n);
        if (received.endsWith('\n') && deadlineMs == 0)
            break;
    }
    return received;
}

QByteArray ask(int fd, const QByteArray& bytes) {
    ::send(fd, bytes.constData(), static_cast<size_t>(bytes.size()), MSG_NOSIGNAL);
    QByteArray reply;
    char c;
    pollfd wait{fd, POLLIN, 0};
    while (::poll(&wait, 1, 10000) > 0 && ::recv(fd, &c, 1, 0) == 1 && c != '\n')
        reply += c;
    return reply;
}

} // namespace

// Each step runs on the state the steps before it left: an operator's session in order.
TEST(Prowlixctl, VerbsAndTheirExitStatusesOnARealMonitor) {
    ControlledMonitor m({"START=sleep 1000,Web,,True,umask=027", "START=sh -c 'exit 3',Once,,False",
                         "START=sleep 1001,Twin,,False", "START=sleep 1002,Twin,,False"});
    ASSERT_TRUE(m.ready);
    ASSERT_TRUE(m.monitor.waitForLog("TASK FAILURE: Once"));
    const qint64 webPid = m.task("Web")["pid"].toInteger();
    struct Step {
        QStringList arguments;
        int status;
        QString output; // in standard output, or standard error when it fails
    };
    const Step steps[] = {
        {{"status", "Web"}, 0, "\n  options:    umask=027\n"},
        {{"status"}, 3, "status 3"},
        {{"status", "nope"}, 4, "tasks: Web (#1), Once (#2), Twin (#3), Twin (#4)"},
        {{"status", "Twin"}, 1, "several tasks are named Twin: #3, #4"},
        {{"status", "#3", "#4"}, 0, "sleep 1002"},
        {{"start", "Web"}, 0, "Web (#1): already up: nothing done"},
        {{"stop", "Web"}, 0, "Web (#1): stopped"},
        {{"status", "Web"}, 3, "  stopped by: "},
        {{"start", "Web"}, 0, "Web (#1): started"},
        {{"restart", "Web"}, 0, "Web (#1): started"},
        {{"log", "-n", "1"}, 0, "RE-START: 'sleep 1000'"},
        {{"start", "Once"}, 0, "Once (#2): started"},
        {{"stop"}, 1, "stop needs a task"},
        {{"frobnicate"}, 1, "unknown command frobnicate"},
        {{"output", "Web"}, 1, "is not captured"},
        {{"-s", m.monitor.dir() + "/none.sock", "status"}, 2, "none.sock"},
    };
    for (const Step& step : steps) {
        const CtlResult r =
            step.arguments.first() == "-s" ? prowlixctl(step.arguments) : m.ctl(step.arguments);
        EXPECT_EQ(r.status, step.status) << qPrintable(step.arguments.join(' ') + "\n" + r.err);
        EXPECT_TRUE((step.status == 0 || step.status == 3 ? r.out : r.err).contains(step.output))
            << qPrintable(step.arguments.join(' ') + ":\n" + r.out + r.err);
    }
    EXPECT_EQ(m.ctl({"log", "-n", "1"}).out.count('\n'), 1);
    const QString log = m.monitor.log();
    EXPECT_TRUE(log.contains("CONTROL: stop Web by root (uid 0)") ||
                log.contains(QStringLiteral("CONTROL: stop Web by ")));
    EXPECT_TRUE(log.contains("STOP: Web (sleep 1000)"));
    EXPECT_FALSE(log.contains("TASK FAILURE: Web")) << "a stop is no failure";
    EXPECT_NE(m.task("Web")["pid"].toInteger(), webPid);
    EXPECT_TRUE(processGone(webPid));
}

TEST(Prowlixctl, WhyEachTaskEndedAsJsonAndATableWithin80Columns) {
    const QString longCommand = "sh -c 'sleep 1003' " + QString(120, 'x');
    ControlledMonitor m({"START=sh -c 'exit 7',Exit,,False",
                         "START=sh -c 'kill -SEGV $$',Segv,,False",
                         "START=sh -c 'kill -KILL $$',Killed,,False",
                         "START=" + longCommand + ",A rather long task name,,False",
                         "START=sh -c 'exit 3',Waiting,,True,umask=027,\"restart_delay=600,900\""});
    ASSERT_TRUE(m.ready);
    ASSERT_TRUE(waitUntil([&] { return m.monitor.log().count("EXIT STATUS: ") == 4; }));
    const CtlResult r = m.ctl({"status", "--json"});
    EXPECT_EQ(r.status, 3);
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(r.out.toUtf8(), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << qPrintable(r.out);
    struct Row {
        const char* name;
        QString text;
        QJsonValue code, signal;
    };
    const Row rows[] = {
        {"Exit", "exited with status 7", 7, QJsonValue::Null},
        {"Segv", "killed by signal 11 (SIGSEGV)", QJsonValue::Null, 11},
        {"Killed", "killed by signal 9 (SIGKILL)", QJsonValue::Null, 9},
    };
    const QJsonArray tasks = document["tasks"].toArray();
    ASSERT_EQ(tasks.size(), 5);
    for (size_t i = 0; i < std::size(rows); ++i) {
        const QJsonObject task = tasks[static_cast<qsizetype>(i)].toObject();
        EXPECT_EQ(task["name"].toString(), rows[i].name);
        EXPECT_EQ(task["state"].toString(), "down");
        EXPECT_TRUE(task["pid"].isNull());
        const QJsonObject exit = task["last_exit"].toObject();
        // Whether a core is dumped is the system's choice.
        EXPECT_TRUE(exit["text"].toString().startsWith(rows[i].text)) << rows[i].name;
        EXPECT_EQ(exit["code"], rows[i].code) << rows[i].name;
        EXPECT_EQ(exit["signal"], rows[i].signal) << rows[i].name;
        EXPECT_TRUE(m.monitor.log().contains(QStringLiteral("EXIT STATUS: ") + rows[i].name + ": " +
                                             exit["text"].toString() + "\r\n"));
    }
    EXPECT_EQ(tasks[3]["state"].toString(), "up");
    EXPECT_EQ(tasks[3]["command"].toString(), longCommand);
    EXPECT_EQ(tasks[3]["options"].toString(), "");
    // A restart waiting for its delay says when it comes, and the task's options are shown.
    EXPECT_TRUE(QRegularExpression("^restarting in (59\\d|600)\\.\\d s$")
                    .match(tasks[4]["state"].toString())
                    .hasMatch())
        << qPrintable(tasks[4]["state"].toString());
    EXPECT_GT(tasks[4]["restart_due_ms"].toDouble(), 0);
    EXPECT_TRUE(tasks[4]["options"].toString().contains("umask=027"))
        << qPrintable(tasks[4]["options"].toString());

    const QStringList table = m.ctl({"status"}).out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(table.size(), 6);
    for (const QString& line : table)
        EXPECT_LE(line.size(), 80) << qPrintable(line);
    EXPECT_TRUE(table[2].contains("SIGSEGV")) << qPrintable(table[2]);
    EXPECT_TRUE(table[4].endsWith("...")) << qPrintable(table[4]);
}

TEST(Prowlixctl, HostileClientsLeaveSupervisionAndTheStatusPortAnswering) {
    ControlledMonitor m({"START=sleep 1000,Web,,True"});
    ASSERT_TRUE(m.ready);
    ASSERT_TRUE(waitUntil([&] { return answers(m.port); }));
    bool closed = false;

    const int garbage = connectUnix(m.socket);
    EXPECT_TRUE(ask(garbage, "\x01\xffnot json\n").contains("\"ok\":false"));
    EXPECT_TRUE(ask(garbage, "{\"cmd\":\"status\"}\n").contains("\"ok\":true"))
        << "a bad line costs the client nothing but its reply";
    ::close(garbage);

    const int longLine = connectUnix(m.socket);
    const QByteArray flood(70 * 1024, 'x');
    ::send(longLine, flood.constData(), static_cast<size_t>(flood.size()), MSG_NOSIGNAL);
    EXPECT_TRUE(readUntilClosed(longLine, &closed).contains("longer than 64 KiB"));
    EXPECT_TRUE(closed);
    ::close(longLine);

    // 40 at once: 32 are served, the others told so and closed.
    std::vector<int> clients;
    for (int i = 0; i < 40; ++i)
        clients.push_back(connectUnix(m.socket));
    // Read all of them at once until the refused ones have closed.
    std::vector<pollfd> waits;
    for (int fd : clients)
        waits.push_back({fd, POLLIN, 0});
    std::vector<QByteArray> got(clients.size());
    std::vector<bool> ended(clients.size(), false);
    int busy = 0;
    while (std::count(ended.begin(), ended.end(), true) < 8 &&
           ::poll(waits.data(), waits.size(), 10000) > 0) {
        for (size_t i = 0; i < waits.size(); ++i) {
            if (waits[i].revents == 0 || ended[i])
                continue;
            char buffer[512];
            const ssize_t n = ::recv(waits[i].fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                got[i].append(buffer, n);
                continue;
            }
            ended[i] = true;
            waits[i].fd = -1;
            busy += got[i].contains("too many clients") ? 1 : 0;
        }
    }
    EXPECT_EQ(busy, 8);
    EXPECT_TRUE(answers(m.port)) << "the status port answers while the control is full";
    for (int fd : clients)
        ::close(fd);
    EXPECT_TRUE(waitUntil([&] { return m.ctl({"status"}).status == 0; }));
    EXPECT_TRUE(m.monitor.running());
}

// As root: a user who is neither root, nor the monitor's, nor in CONTROL_GROUP is refused.
TEST(Prowlixctl, OnlyRootTheMonitorsUserAndItsGroupMayControlIt) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run prowlixctl as another user";
    if (QStandardPaths::findExecutable("setpriv").isEmpty())
        GTEST_SKIP() << "setpriv (util-linux) not found";
    const QStringList asNobody{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    struct Row {
        QString group;
        bool openFile; // the socket file opened to all: the peer check alone must refuse
        int status;
        const char* says;
    };
    for (const Row& row :
         {Row{"", false, 1, "permission denied"}, Row{"", true, 1, "may not control this monitor"},
          Row{"65534", false, 0, "Web"}}) {
        ControlledMonitor m({"START=sleep 1000,Web,,False", "CONTROL_GROUP=" + row.group});
        ASSERT_TRUE(m.ready);
        QFile::setPermissions(m.monitor.dir(), QFile::permissions(m.monitor.dir()) |
                                                   QFile::ExeGroup | QFile::ExeOther);
        if (row.openFile)
            ::chmod(QFile::encodeName(m.socket).constData(), 0666);
        const CtlResult r = prowlixctl({"-s", m.socket, "status"}, asNobody);
        EXPECT_EQ(r.status, row.status) << qPrintable(row.group + ": " + r.err);
        EXPECT_TRUE(QString(r.out + r.err).contains(row.says)) << qPrintable(r.out + r.err);
    }
}

// Without CONTROL_SOCKET each monitor listens in the runtime directory under its configuration's
// name; prowlixctl finds one by itself, by -c or -p, and a socket left by a killed monitor is
// taken over by the next monitor of that configuration.
TEST(Prowlixctl, FindsMonitorsInTheRuntimeDirectoryAndReplacesAStaleSocket) {
    QTemporaryDir runtime;
    QProcessEnvironment environment = MonitorProcess::headlessEnvironment();
    environment.insert("PROWLIX_RUNTIME_DIR",
                       runtime.path()); // shared by both monitors and prowlixctl
    const QStringList defaultPlace{"START=sleep 1000,First,,False", "CONTROL_SOCKET="};
    auto first = std::make_unique<ControlledMonitor>(defaultPlace, environment);
    ControlledMonitor second({"START=sleep 1000,Second,,False", "CONTROL_SOCKET="}, environment);
    const auto ctl = [&](const QStringList& arguments) {
        return prowlixctl(arguments, {}, environment);
    };
    const QString firstPid = QString::number(first->monitor.pid());
    ASSERT_TRUE(waitUntil([&] { return ctl({"-c", first->ini, "status"}).status == 0; }));
    ASSERT_TRUE(waitUntil([&] {
        return ctl({"-p", QString::number(second.monitor.pid()), "status"}).status == 0;
    }));
    EXPECT_TRUE(ctl({"-c", second.ini, "status"}).out.contains("Second"));
    EXPECT_TRUE(ctl({"-p", firstPid, "status"}).out.contains("First"));
    const CtlResult several = ctl({"status"});
    EXPECT_EQ(several.status, 1);
    EXPECT_TRUE(several.err.contains("several monitors run") && several.err.contains(firstPid))
        << qPrintable(several.err);
    EXPECT_TRUE(ctl({"list"}).out.contains(first->ini));

    // Killed, the first leaves its socket behind; the next monitor of its file replaces it.
    const QString ini = first->ini;
    ::kill(static_cast<pid_t>(first->monitor.pid()), SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return !first->monitor.running(); }));
    const CtlResult gone = ctl({"-c", ini, "status"});
    EXPECT_EQ(gone.status, 2) << qPrintable(gone.err);
    EXPECT_TRUE(gone.err.contains("looked in")) << qPrintable(gone.err);
    MonitorProcess again;
    again.start({"/NOGUI", "/I:" + ini}, environment);
    EXPECT_TRUE(waitUntil([&] { return ctl({"-c", ini, "status"}).status == 0; }));
    EXPECT_FALSE(again.log().contains("CONTROL: off"));

    // A second monitor of a running configuration is refused and leaves its socket alone.
    MonitorProcess twin;
    twin.start({"/NOGUI", "/I:" + second.ini}, environment);
    EXPECT_TRUE(twin.waitForLog("REFUSED: another monitor")) << qPrintable(twin.log());
    EXPECT_EQ(ctl({"-p", QString::number(second.monitor.pid()), "status"}).status, 0);
    first.reset();
}

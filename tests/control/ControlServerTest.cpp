// The control server in-process: what only a manual clock can show without waiting.

#include "control/ControlServer.h"

#include "EngineDoubles.h"
#include "FakeProcesses.h"
#include "ManualClock.h"
#include "TestSupport.h"
#include "log/Log.h"
#include "tasks/TaskFunctions.h"

#include <QCoreApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace testsupport;

namespace {

struct Server : ::testing::Test {
    Server() {
        log.LogActivity = true;
        QString name = "Web";
        qint16 mode = 0;
        functions.StartTask(name, "web", mode, true);
    }
    QTemporaryDir dir;
    Log log{ProgramInfo{dir.path(), QStringLiteral("prowlix")}};
    TaskTable tasks;
    TaskList up, down;
    FakeProcesses processes;
    ManualClock clock;
    TaskFunctions functions{tasks, up, down, log, processes, clock};
    ControlServer server{tasks, functions, log, clock};
    QString path = dir.filePath("c.sock");
};

} // namespace

TEST_F(Server, ASilentClientIsClosedAfterFiveSecondsAndOneThatSpeaksIsNot) {
    server.start({}, path, {}, {});
    ASSERT_TRUE(server.listening());
    QLocalSocket silent, talking;
    silent.connectToServer(path);
    talking.connectToServer(path);
    ASSERT_TRUE(waitUntil([&] { return server.clientCount() == 2; }));
    clock.advance(ControlServer::silentMs - 1);
    talking.write("{\"cmd\":\"info\"}\n");
    ASSERT_TRUE(waitUntil([&] { return talking.canReadLine(); }));
    clock.advance(1);
    EXPECT_TRUE(waitUntil([&] { return silent.state() == QLocalSocket::UnconnectedState; }));
    EXPECT_EQ(talking.state(), QLocalSocket::ConnectedState);
    EXPECT_EQ(server.clientCount(), 1);
}

// Requests from a client that does not read wait while a megabyte of replies is held for it; once
// it reads, every request is answered.
TEST_F(Server, AClientThatDoesNotReadHoldsABoundedBacklogAndLosesNoReply) {
    for (int i = 0; i < 300; ++i) {
        QString name = "task" + QString::number(i);
        qint16 mode = 0;
        functions.StartTask(name, "sleep 100000 " + QString(100, 'x'), mode, true);
    }
    server.start({}, path, {}, {});
    QLocalSocket greedy;
    greedy.setReadBufferSize(1); // Qt takes almost nothing from the system for it
    greedy.connectToServer(path);
    constexpr int asked = 200;
    for (int i = 0; i < asked; ++i)
        greedy.write("{\"cmd\":\"status\"}\n");
    ASSERT_TRUE(waitUntil(
        [&] { return server.pendingReplyBytes() > ControlServer::maxPendingReplyBytes; }));
    const qint64 reply = server.answer("{\"cmd\":\"status\"}", {}).size() + 1;
    for (int turn = 0; turn < 100; ++turn)
        QCoreApplication::processEvents();
    EXPECT_LE(server.pendingReplyBytes(), ControlServer::maxPendingReplyBytes + reply);

    greedy.setReadBufferSize(0);
    int replies = 0;
    EXPECT_TRUE(waitUntil([&] {
        while (greedy.canReadLine())
            replies += greedy.readLine().startsWith("{\"ok\":true") ? 1 : 0;
        return replies == asked;
    }));
}

TEST_F(Server, TheSocketFileIsReplacedOnlyWhenNobodyAnswersOnIt) {
    struct Row {
        const char* what;
        std::function<void()> prepare;
        bool listens;
        const char* logged;
    };
    QLocalServer other;
    const Row rows[] = {
        {"left by a monitor that ended",
         [&] {
             // Bound and closed without removing the file, as a killed monitor leaves it.
             const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
             sockaddr_un address{};
             address.sun_family = AF_UNIX;
             std::strncpy(address.sun_path, QFile::encodeName(path).constData(),
                          sizeof address.sun_path - 1);
             ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
             ::close(fd);
         },
         true, ""},
        {"answered by a monitor that runs", [&] { ASSERT_TRUE(other.listen(path)); }, false,
         "CONTROL: off: "},
        {"not a socket", [&] { writeFile(path, "x"); }, false, "exists and is not a socket"},
    };
    for (const Row& row : rows) {
        QFile::remove(path);
        row.prepare();
        ControlServer second{tasks, functions, log, clock};
        second.start({}, path, {}, {});
        EXPECT_EQ(second.listening(), row.listens) << row.what;
        if (*row.logged != '\0') {
            EXPECT_TRUE(log.LogContents(QDate::currentDate()).contains(row.logged)) << row.what;
        }
        other.close();
    }
}

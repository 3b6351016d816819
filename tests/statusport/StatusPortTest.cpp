#include "statusport/StatusPort.h"

#include "ManualClock.h"
#include "MonitorProcess.h"
#include "TestSupport.h"
#include "base/RuntimeError.h"

#include <QTcpServer>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct StatusPortTest : ::testing::Test {
    testsupport::ManualClock clock;
    StatusPort port{clock};
    quint16 number = testsupport::freePort();
    void SetUp() override {
        port.setPort(number);
        port.listen();
    }
};

// What a raw client receives until the end of stream, with " <reset>" when the connection was
// reset instead; it closes the descriptor.
QByteArray receive(int fd) {
    QByteArray data;
    testsupport::waitUntil([&] {
        char buffer[64];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        data.append(buffer, std::max<qsizetype>(n, 0));
        if (n < 0 && errno != EAGAIN)
            data += " <reset>";
        return n == 0 || (n < 0 && errno != EAGAIN);
    });
    ::close(fd);
    return data;
}

} // namespace

// One socket answers at a time: a request that arrives while it is busy takes it over.
TEST_F(StatusPortTest, OverlappingClientsDoNotStopTheLatestAnswer) {
    const int first = testsupport::connectRaw(number), second = testsupport::connectRaw(number);
    const QByteArray early = receive(first); // dropped; whether its answer got out is timing
    EXPECT_TRUE(early.isEmpty() || early == "SERVICES UP") << early.constData();
    EXPECT_EQ(receive(second), QByteArray("SERVICES UP"));
}

// A checker that shuts its sending side before it reads must still get the answer.
TEST_F(StatusPortTest, ClientThatHalfClosesFirstStillGetsTheAnswer) {
    for (int i = 0; i < 30; ++i) {
        const int fd = testsupport::connectRaw(number);
        ::shutdown(fd, SHUT_WR);
        EXPECT_EQ(receive(fd), QByteArray("SERVICES UP")) << "client " << i;
    }
}

// The answer ends with end of stream, never a reset, however much the client sent first and
// whether or not it goes on sending.
TEST_F(StatusPortTest, ClientThatSendsFirstGetsTheAnswerAndAnOrderlyEnd) {
    const std::pair<qsizetype, bool> rows[] = {{6, false}, {64 * 1024, false}, {4096, true}};
    for (const auto& [size, keepsSending] : rows) {
        const int fd = testsupport::connectRaw(number);
        const QByteArray sent(size, 'x');
        ASSERT_EQ(::send(fd, sent.constData(), size_t(sent.size()), MSG_NOSIGNAL), size);
        QByteArray data;
        testsupport::waitUntil([&] {
            char buffer[64];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (keepsSending)
                ::send(fd, "more", 4, MSG_NOSIGNAL | MSG_DONTWAIT);
            data.append(buffer, std::max<qsizetype>(n, 0));
            if (n < 0 && errno != EAGAIN)
                data += " <reset>";
            return n == 0 || (n < 0 && errno != EAGAIN);
        });
        ::close(fd);
        EXPECT_EQ(data, QByteArray("SERVICES UP")) << size << (keepsSending ? " and more" : "");
    }
}

// Asked before each answer: a "no", or a port closed meanwhile, leaves the client unanswered.
TEST_F(StatusPortTest, AnswerWaitsForTheOwnersConsent) {
    bool consent = false;
    port.mayAnswer = [&] { return consent; };
    EXPECT_EQ(testsupport::askPort(number), QByteArray());
    port.mayAnswer = [&] {
        port.close();
        return true;
    };
    EXPECT_EQ(testsupport::askPort(number), QByteArray());
    EXPECT_EQ(testsupport::askPort(number), "refused");
}

// A port held for a moment by another program is tried again every second while it is wanted;
// a number that is no port is not.
TEST(StatusPortRetryTest, PortTakenForAMomentIsTriedAgainEverySecondUntilClosed) {
    testsupport::ManualClock clock;
    StatusPort port(clock);
    int again = 0;
    QObject::connect(&port, &StatusPort::listeningAgain, [&] { ++again; });
    for (const bool closeMeanwhile : {false, true}) {
        auto occupier = std::make_unique<QTcpServer>();
        ASSERT_TRUE(occupier->listen(QHostAddress::Any, 0));
        const quint16 number = occupier->serverPort();
        port.setPort(number);
        EXPECT_THROW(port.listen(), RuntimeError);
        clock.advance(StatusPort::retryMs);
        EXPECT_FALSE(port.isListening());
        occupier.reset();
        if (closeMeanwhile)
            port.close();
        clock.advance(StatusPort::retryMs - 1);
        EXPECT_FALSE(port.isListening());
        clock.advance(1);
        EXPECT_EQ(port.isListening(), !closeMeanwhile);
        EXPECT_EQ(again, 1);
        EXPECT_FALSE(port.retrying());
        port.close();
    }
    port.setPort(70000);
    EXPECT_THROW(port.listen(), RuntimeError);
    EXPECT_FALSE(port.retrying());
}

// A monitor whose event loop stood still while a task died answers none of the clients that
// waited meanwhile: it finds the death before it answers.
TEST(StatusPortTruthTest, ClientsWaitingThroughAStalledLoopGetNoStaleAnswer) {
    testsupport::MonitorProcess monitor;
    const quint16 port = testsupport::freePort();
    const QString pidFile = monitor.dir() + "/task.pid";
    monitor.start({"/NOGUI", QStringLiteral("/P:%1").arg(port),
                   "sh -c 'echo $$ > " + pidFile + "; exec sleep 3600'"});
    ASSERT_TRUE(testsupport::answers(port)) << qPrintable(monitor.log());
    // The port opens once the task is launched, which may be before its shell has said who it is.
    pid_t task = 0;
    ASSERT_TRUE(testsupport::waitUntil([&] {
        task = testsupport::readFile(pidFile).trimmed().toInt();
        return task > 0;
    }));
    ::kill(pid_t(monitor.pid()), SIGSTOP);
    ::kill(task, SIGKILL);
    // Dead and not reaped: its parent stands still.
    ASSERT_TRUE(testsupport::waitUntil([&] {
        return testsupport::readFile(QStringLiteral("/proc/%1/stat").arg(task))
                   .section(' ', 2, 2) == "Z";
    }));
    std::vector<int> clients;
    for (int i = 0; i < 20; ++i)
        clients.push_back(testsupport::connectRaw(port));
    ::kill(pid_t(monitor.pid()), SIGCONT);
    for (const int fd : clients)
        EXPECT_NE(receive(fd), QByteArray("SERVICES UP"));
    EXPECT_TRUE(monitor.waitForLog("TASK FAILURE: "));
    EXPECT_EQ(testsupport::askPort(port), "refused");
    EXPECT_TRUE(monitor.stop());
}

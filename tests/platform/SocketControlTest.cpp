#include "platform/SocketControl.h"

#include "TestSupport.h"
#include "base/RuntimeError.h"

#include <QCoreApplication>
#include <QTcpSocket>
#include <cerrno>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using testsupport::waitUntil;

namespace {

// A listener on a free port whose requests the handler may hand to a second control.
struct ListenerPair {
    SocketControl listener, answer;
    int sendCompletes = 0;
    explicit ListenerPair(const std::function<void(qintptr)>& onRequest) {
        QObject::connect(&answer, &SocketControl::SendComplete, [this] { ++sendCompletes; });
        QObject::connect(&listener, &SocketControl::ConnectionRequest, onRequest);
        listener.LocalPort = testsupport::freePort();
        listener.Listen();
    }
};

} // namespace

// The answering path as such is exercised through the status port; here what it cannot show.
TEST(SocketControlTest, EmptySendCompletesAndUnacceptedRequestsAreClosed) {
    int requests = 0;
    ListenerPair pair([&](qintptr id) {
        if (++requests == 1) { // later ones are left alone, so closed
            pair.answer.Accept(id);
            pair.answer.SendData(QString());
        }
    });
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, pair.listener.boundPort());
    EXPECT_TRUE(waitUntil([&] { return pair.sendCompletes == 1; }));
    EXPECT_EQ(testsupport::askPort(pair.listener.boundPort()), QByteArray());
    EXPECT_EQ(requests, 2);
    // Outside the handler no request is pending: nothing else can be taken over.
    EXPECT_THROW(pair.answer.Accept(0), RuntimeError);
}

// An unread connection without a cap on what it buffers would drain a sender into memory.
TEST(SocketControlTest, AcceptedConnectionCannotGrowMemoryBySending) {
    ListenerPair pair([&](qintptr id) { pair.answer.Accept(id); });
    const int fd = testsupport::connectRaw(pair.listener.boundPort(), true);
    ASSERT_TRUE(waitUntil([&] { return pair.answer.State() == SocketControl::sckConnected; }));
    constexpr qint64 limit = 64 * 1024 * 1024;
    const QByteArray block(256 * 1024, 'x');
    qint64 sent = 0;
    int fullPolls = 0; // sends that found the connection full while events ran
    waitUntil(
        [&] {
            const ssize_t n = ::send(fd, block.constData(), size_t(block.size()), MSG_NOSIGNAL);
            sent += std::max<ssize_t>(n, 0);
            fullPolls = n > 0 ? 0 : fullPolls + (errno == EAGAIN);
            return sent >= limit || fullPolls >= 50;
        },
        std::chrono::seconds(20));
    ::close(fd);
    EXPECT_LT(sent, limit / 2);
}

// Connections draining after their answer are capped, so a burst cannot hold descriptors, and each
// ends once its client closes.
TEST(SocketControlTest, DrainingAfterTheAnswerIsCappedAndEndsWithTheClient) {
    ListenerPair pair([&](qintptr id) {
        pair.answer.Accept(id);
        pair.answer.SendData(QStringLiteral("x"));
    });
    QObject::connect(&pair.answer, &SocketControl::SendComplete, [&] { pair.answer.Close(); });
    std::vector<int> clients;
    int most = 0;
    for (int i = 0; i < SocketControl::maxLingering + 40; ++i) {
        clients.push_back(testsupport::connectRaw(pair.listener.boundPort()));
        ::send(clients.back(), "?", 1, MSG_NOSIGNAL); // no end of stream: it would end the drain
        QCoreApplication::processEvents();
        most = std::max(most, SocketControl::lingering());
    }
    waitUntil([&] {
        most = std::max(most, SocketControl::lingering());
        return most == SocketControl::maxLingering;
    });
    EXPECT_EQ(most, SocketControl::maxLingering);
    for (const int fd : clients)
        ::close(fd);
    EXPECT_TRUE(waitUntil([] { return SocketControl::lingering() == 0; }));
}

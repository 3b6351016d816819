#include "SocketControl.h"

#include "RuntimeError.h"
#include "TestSupport.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <cerrno>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

using testsupport::waitUntil;

namespace {

// A listener on a free port whose requests the handler may hand to a second control.
struct ListenerPair {
    SocketControl listener;
    SocketControl answer;
    int sendCompletes = 0;

    explicit ListenerPair(std::function<void(qintptr)> onRequest) {
        QObject::connect(&answer, &SocketControl::SendComplete, [this] { ++sendCompletes; });
        QObject::connect(&listener, &SocketControl::ConnectionRequest, onRequest);
        listener.LocalPort = testsupport::freePort();
        listener.Listen();
    }
    quint16 port() const { return listener.boundPort(); }
};

} // namespace

// The answering path as such is exercised through the status port; here what it cannot show.
TEST(SocketControlTest, SendsBytesUnchangedCompletesOncePerSendAndClosesUnacceptedRequests) {
    const QString text = QStringLiteral("SERVICES UP \u00fc");
    int requests = 0;
    ListenerPair pair([&](qintptr id) {
        if (++requests > 1)
            return; // left alone: closed
        pair.answer.Accept(id);
        pair.answer.SendData(text);
    });
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, pair.port());
    ASSERT_TRUE(waitUntil([&] { return pair.sendCompletes == 1; }));
    pair.answer.SendData(QString()); // nothing to send still completes
    ASSERT_TRUE(waitUntil([&] { return pair.sendCompletes == 2; }));
    pair.answer.Close();
    QByteArray received;
    EXPECT_TRUE(waitUntil([&] {
        received += client.readAll();
        return client.state() == QAbstractSocket::UnconnectedState;
    }));
    EXPECT_EQ(received, text.toLocal8Bit());
    EXPECT_EQ(pair.sendCompletes, 2);

    QTcpSocket ignored;
    ignored.connectToHost(QHostAddress::LocalHost, pair.port());
    EXPECT_TRUE(waitUntil([&] { return ignored.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(requests, 2);
    // Outside the handler no request is pending: nothing else can be taken over.
    EXPECT_THROW(pair.answer.Accept(0), RuntimeError);
}

TEST(SocketControlTest, ListenRejectsUnusablePortsAndStates) {
    QTcpServer occupier;
    ASSERT_TRUE(occupier.listen(QHostAddress::Any, 0));
    SocketControl control;
    for (const qint32 port : {qint32(occupier.serverPort()), 0, -1, 65536}) {
        control.LocalPort = port;
        EXPECT_THROW(control.Listen(), RuntimeError) << port;
        EXPECT_EQ(control.State(), SocketControl::sckClosed);
    }
    control.LocalPort = testsupport::freePort();
    control.Listen();
    EXPECT_THROW(control.Listen(), RuntimeError) << "already listening";
    EXPECT_EQ(control.State(), SocketControl::sckListening);
    control.Close();
    control.Close(); // closing a closed control is no error
    EXPECT_EQ(control.State(), SocketControl::sckClosed);
}

TEST(SocketControlTest, AcceptedConnectionCannotGrowMemoryBySending) {
    ListenerPair pair([&](qintptr id) { pair.answer.Accept(id); });
    const int fd = testsupport::connectRaw(pair.port(), true);
    ASSERT_TRUE(waitUntil([&] { return pair.answer.State() == SocketControl::sckConnected; }));

    // Send until the connection stays full while events run; an unread socket without a cap
    // would drain everything into the monitor's memory.
    constexpr qint64 limit = 64 * 1024 * 1024;
    const QByteArray block(256 * 1024, 'x');
    qint64 sent = 0;
    int fullPolls = 0;
    waitUntil(
        [&] {
            const ssize_t n = ::send(fd, block.constData(), size_t(block.size()), MSG_NOSIGNAL);
            sent += n > 0 ? n : 0;
            fullPolls = n > 0 ? 0 : fullPolls + (errno == EAGAIN);
            return sent >= limit || fullPolls >= 50;
        },
        std::chrono::seconds(20));
    ::close(fd);
    EXPECT_LT(sent, limit / 2);
}

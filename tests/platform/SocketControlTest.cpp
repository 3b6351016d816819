#include "SocketControl.h"

#include "RuntimeError.h"
#include "TestSupport.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <arpa/inet.h>
#include <cerrno>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using testsupport::waitUntil;

namespace {

// A listener on a free port whose requests are accepted on a second control.
struct ListenerPair {
    SocketControl listener;
    SocketControl answer;
    int requests = 0;
    int sendCompletes = 0;

    ListenerPair() {
        QObject::connect(&answer, &SocketControl::SendComplete, [this] { ++sendCompletes; });
    }
    quint16 listen() {
        listener.LocalPort = testsupport::freePort();
        listener.Listen();
        return listener.boundPort();
    }
};

std::unique_ptr<QTcpSocket> connectClient(quint16 port) {
    auto client = std::make_unique<QTcpSocket>();
    client->connectToHost(QHostAddress::LocalHost, port);
    return client;
}

bool waitClosed(QTcpSocket& client) {
    return waitUntil([&] { return client.state() == QAbstractSocket::UnconnectedState; });
}

} // namespace

TEST(SocketControlTest, AcceptedRequestSendsBytesUnchangedAndReportsCompletionOnce) {
    ListenerPair pair;
    QObject::connect(&pair.listener, &SocketControl::ConnectionRequest, [&](qintptr id) {
        ++pair.requests;
        pair.answer.Accept(id);
        EXPECT_EQ(pair.answer.State(), SocketControl::sckConnected);
        pair.answer.SendData(QStringLiteral("SERVICES UP \u00fc"));
    });
    const quint16 port = pair.listen();
    EXPECT_EQ(pair.listener.State(), SocketControl::sckListening);

    auto client = connectClient(port);
    QByteArray received;
    ASSERT_TRUE(waitUntil([&] {
        received += client->readAll();
        return received.size() >= 14 && pair.sendCompletes > 0;
    }));
    EXPECT_EQ(received, QStringLiteral("SERVICES UP \u00fc").toLocal8Bit());
    EXPECT_EQ(pair.requests, 1);
    EXPECT_EQ(pair.listener.State(), SocketControl::sckListening) << "the listener keeps listening";

    pair.answer.Close();
    EXPECT_EQ(pair.answer.State(), SocketControl::sckClosed);
    EXPECT_TRUE(waitClosed(*client));
    EXPECT_EQ(pair.sendCompletes, 1);
}

TEST(SocketControlTest, RequestThatNobodyAcceptsIsClosed) {
    ListenerPair pair;
    QObject::connect(&pair.listener, &SocketControl::ConnectionRequest,
                     [&](qintptr) { ++pair.requests; });
    auto client = connectClient(pair.listen());
    EXPECT_TRUE(waitClosed(*client));
    EXPECT_EQ(pair.requests, 1);

    // Accept outside the handler names no pending request.
    EXPECT_THROW(pair.answer.Accept(0), RuntimeError);
    EXPECT_EQ(pair.answer.State(), SocketControl::sckClosed);
}

TEST(SocketControlTest, ListenRejectsUnusablePortsAndStates) {
    QTcpServer occupier;
    ASSERT_TRUE(occupier.listen(QHostAddress::Any, 0));
    SocketControl control;
    for (const qint32 port : {qint32(occupier.serverPort()), 0, -1, 65536}) {
        control.LocalPort = port;
        try {
            control.Listen();
            ADD_FAILURE() << "port " << port << " was accepted";
        } catch (const RuntimeError& error) {
            EXPECT_FALSE(error.description().isEmpty());
        }
        EXPECT_EQ(control.State(), SocketControl::sckClosed);
    }

    control.LocalPort = testsupport::freePort();
    control.Listen();
    EXPECT_THROW(control.Listen(), RuntimeError) << "already listening";
    EXPECT_EQ(control.State(), SocketControl::sckListening);

    // Closed: refused. Listening again on the same port: answered.
    const quint16 port = control.boundPort();
    control.Close();
    control.Close(); // closing a closed control is no error
    EXPECT_EQ(control.State(), SocketControl::sckClosed);
    EXPECT_TRUE(testsupport::probePort(port).refused);
    control.Listen();
    EXPECT_EQ(control.boundPort(), port);
}

TEST(SocketControlTest, ClientConnectsSendsAndGetsAllDataReceived) {
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    SocketControl client;
    qint64 arrivals = 0;
    QObject::connect(&client, &SocketControl::DataArrival, [&](qint64) { ++arrivals; });
    client.RemoteHost = QStringLiteral("127.0.0.1");
    client.RemotePort = server.serverPort();
    client.Connect();
    EXPECT_EQ(client.State(), SocketControl::sckConnecting) << "Connect returns at once";
    EXPECT_THROW(client.Connect(), RuntimeError);

    ASSERT_TRUE(waitUntil([&] { return server.hasPendingConnections(); }));
    QTcpSocket* peer = server.nextPendingConnection();
    ASSERT_TRUE(waitUntil([&] { return client.State() == SocketControl::sckConnected; }));

    client.SendData(QStringLiteral("HELO x\r\n"));
    QByteArray atServer;
    ASSERT_TRUE(waitUntil([&] {
        atServer += peer->readAll();
        return atServer.size() >= 8;
    }));
    EXPECT_EQ(atServer, QByteArray("HELO x\r\n"));

    peer->write("250 one\r\n");
    ASSERT_TRUE(waitUntil([&] { return arrivals > 0; }));
    peer->write("250 two\r\n");
    ASSERT_TRUE(waitUntil([&] { return arrivals > 1; }));
    QString data = QStringLiteral("old content");
    client.GetData(data);
    EXPECT_EQ(data, QStringLiteral("250 one\r\n250 two\r\n"));
    client.GetData(data);
    EXPECT_EQ(data, QString()) << "GetData moves the data out";

    // Data sent just before the server hangs up is still there; the state leaves 7.
    peer->write("221 bye\r\n");
    peer->disconnectFromHost();
    ASSERT_TRUE(waitUntil([&] { return client.State() != SocketControl::sckConnected; }));
    client.GetData(data);
    EXPECT_EQ(data, QStringLiteral("221 bye\r\n"));
    EXPECT_THROW(client.SendData(QStringLiteral("QUIT\r\n")), RuntimeError);
}

TEST(SocketControlTest, RefusedConnectionNeverReportsConnected) {
    SocketControl client;
    client.RemoteHost = QStringLiteral("127.0.0.1");
    client.RemotePort = testsupport::freePort();
    client.Connect();
    ASSERT_TRUE(waitUntil([&] {
        const qint16 state = client.State();
        return state == SocketControl::sckClosed || state == SocketControl::sckError;
    }));
    client.Close();
    EXPECT_EQ(client.State(), SocketControl::sckClosed);
    client.Connect(); // a failed control can be used again
    EXPECT_EQ(client.State(), SocketControl::sckConnecting);
}

TEST(SocketControlTest, AcceptedConnectionCannotGrowMemoryBySending) {
    ListenerPair pair;
    QObject::connect(&pair.listener, &SocketControl::ConnectionRequest,
                     [&](qintptr id) { pair.answer.Accept(id); });
    const quint16 port = pair.listen();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ASSERT_TRUE(waitUntil([&] { return pair.answer.State() == SocketControl::sckConnected; }));

    // Send until the connection stays full while events run; an unread, uncapped socket would
    // drain everything into the monitor's memory.
    constexpr qint64 limit = 64 * 1024 * 1024;
    const QByteArray block(256 * 1024, 'x');
    qint64 sent = 0;
    int fullPolls = 0;
    waitUntil(
        [&] {
            const ssize_t n =
                ::send(fd, block.constData(), static_cast<size_t>(block.size()), MSG_NOSIGNAL);
            if (n > 0) {
                sent += n;
                fullPolls = 0;
            } else if (errno == EAGAIN) {
                ++fullPolls;
            }
            return sent >= limit || fullPolls >= 50;
        },
        std::chrono::seconds(20));
    ::close(fd);
    EXPECT_EQ(fullPolls, 50) << "sent " << sent << " bytes without being held back";
    EXPECT_LT(sent, limit / 2);
}

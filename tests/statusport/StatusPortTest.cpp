#include "StatusPort.h"

#include "RuntimeError.h"
#include "TestSupport.h"

#include <QTcpSocket>
#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using testsupport::waitUntil;

namespace {

// An asynchronous client: the server runs in this process, so nothing here may block.
struct Client {
    QTcpSocket socket;
    QByteArray data;

    explicit Client(quint16 port) { socket.connectToHost(QHostAddress::LocalHost, port); }
    bool finished() {
        data += socket.readAll();
        return socket.state() == QAbstractSocket::UnconnectedState;
    }
};

// The text and end of stream, or a refusal, for one client.
testsupport::ProbeResult ask(quint16 port) {
    Client client(port);
    testsupport::ProbeResult result;
    if (!waitUntil([&] { return client.finished(); })) {
        ADD_FAILURE() << "no answer and no close within the deadline";
        return result;
    }
    result.refused = client.socket.error() == QAbstractSocket::ConnectionRefusedError;
    result.data = client.data;
    return result;
}

// A raw non-blocking client, for peers that misbehave in ways QTcpSocket will not.
int rawClient(quint16 port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    return fd;
}

struct StatusPortTest : ::testing::Test {
    StatusPort port;
    quint16 number = testsupport::freePort();

    void SetUp() override {
        port.setPort(number);
        port.listen();
    }
};

} // namespace

TEST_F(StatusPortTest, AnswersExactlyTheTextAndHangsUp) {
    for (int i = 0; i < 3; ++i) {
        const auto answer = ask(number);
        EXPECT_FALSE(answer.refused);
        EXPECT_EQ(answer.data, QByteArray("SERVICES UP"));
    }
    EXPECT_TRUE(port.isListening());
}

TEST_F(StatusPortTest, RefusesWhileClosedAndAnswersAfterListeningAgain) {
    port.close();
    port.close();
    EXPECT_FALSE(port.isListening());
    EXPECT_TRUE(ask(number).refused);

    port.listen();
    EXPECT_THROW(port.listen(), RuntimeError) << "a listen while listening is an error";
    EXPECT_TRUE(port.isListening());
    EXPECT_EQ(ask(number).data, QByteArray("SERVICES UP"));
}

TEST_F(StatusPortTest, SecondQuickClientIsAnsweredAndTheFirstIsClosed) {
    Client first(number);
    Client second(number);
    ASSERT_TRUE(waitUntil([&] { return first.finished() && second.finished(); }));
    EXPECT_EQ(second.data, QByteArray("SERVICES UP"));
    // The first connection is dropped; whether its text got out first is a matter of timing.
    EXPECT_TRUE(first.data.isEmpty() || first.data == QByteArray("SERVICES UP"))
        << first.data.constData();
}

TEST_F(StatusPortTest, MisbehavingClientsDoNotKeepTheNextFromBeingAnswered) {
    // One client never reads, another sends a megabyte.
    const int silent = rawClient(number);
    const int flooder = rawClient(number);
    const QByteArray block(64 * 1024, 'x');
    qint64 sent = 0;
    waitUntil(
        [&] {
            const ssize_t n =
                ::send(flooder, block.constData(), static_cast<size_t>(block.size()), MSG_NOSIGNAL);
            if (n > 0)
                sent += n;
            return sent >= 1024 * 1024 || (n < 0 && errno != EAGAIN && errno != ENOTCONN);
        },
        std::chrono::seconds(3));

    EXPECT_EQ(ask(number).data, QByteArray("SERVICES UP"));
    ::close(silent);
    ::close(flooder);
    EXPECT_EQ(ask(number).data, QByteArray("SERVICES UP"));
}

TEST(StatusPortRoundingTest, RoundsHalvesToEvenAndRejectsNonPorts) {
    EXPECT_EQ(StatusPort::roundPort(180), 180);
    EXPECT_EQ(StatusPort::roundPort(180.5), 180);
    EXPECT_EQ(StatusPort::roundPort(181.5), 182);
    EXPECT_EQ(StatusPort::roundPort(8080.4), 8080);
    EXPECT_EQ(StatusPort::roundPort(8080.6), 8081);
    EXPECT_THROW(StatusPort::roundPort(1e12), RuntimeError);
    EXPECT_THROW(StatusPort::roundPort(std::nan("")), RuntimeError);

    StatusPort port;
    port.setPort(0.5); // rounds to 0: no usable port
    EXPECT_EQ(port.Winsock2.LocalPort, 0);
    EXPECT_THROW(port.listen(), RuntimeError);
    EXPECT_FALSE(port.isListening());
}

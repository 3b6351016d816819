#include "StatusPort.h"

#include "RuntimeError.h"
#include "TestSupport.h"

#include <QTcpSocket>
#include <cmath>
#include <gtest/gtest.h>
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

// What one client receives before the end of stream; "refused" when the connection was refused.
QByteArray ask(quint16 port) {
    Client client(port);
    if (!waitUntil([&] { return client.finished(); }))
        return "no answer and no close";
    return client.socket.error() == QAbstractSocket::ConnectionRefusedError ? "refused"
                                                                            : client.data;
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

TEST_F(StatusPortTest, AnswersEveryClientWhileListeningAndRefusesWhileClosed) {
    EXPECT_EQ(ask(number), QByteArray("SERVICES UP"));
    EXPECT_EQ(ask(number), QByteArray("SERVICES UP"));
    port.close();
    EXPECT_EQ(ask(number), QByteArray("refused"));
    port.listen();
    EXPECT_EQ(ask(number), QByteArray("SERVICES UP"));
}

TEST_F(StatusPortTest, OverlappingAndMisbehavingClientsDoNotStopTheNextAnswer) {
    Client first(number), second(number);
    ASSERT_TRUE(waitUntil([&] { return first.finished() && second.finished(); }));
    EXPECT_EQ(second.data, QByteArray("SERVICES UP"));
    // The first connection is dropped; whether its text got out first is a matter of timing.
    EXPECT_TRUE(first.data.isEmpty() || first.data == QByteArray("SERVICES UP"));

    const int silent = testsupport::connectRaw(number, true); // never reads
    const int flooder = testsupport::connectRaw(number, true);
    const QByteArray block(64 * 1024, 'x');
    qint64 sent = 0; // up to 1 MiB while the server runs, as far as the buffers take it
    waitUntil(
        [&] {
            const ssize_t n = ::send(flooder, block.data(), size_t(block.size()), MSG_NOSIGNAL);
            sent += std::max<ssize_t>(n, 0);
            return sent >= 1024 * 1024 || (n < 0 && errno != EAGAIN);
        },
        std::chrono::seconds(3));
    EXPECT_EQ(ask(number), QByteArray("SERVICES UP"));
    ::close(silent);
    ::close(flooder);
}

TEST(StatusPortRoundingTest, RoundsHalvesToEvenAndRejectsNonPorts) {
    for (const auto& [value, expected] :
         {std::pair{180.5, 180}, {181.5, 182}, {8080.6, 8081}, {0.5, 0}})
        EXPECT_EQ(StatusPort::roundPort(value), expected) << value;
    for (const double bad : {1e12, std::nan("")})
        EXPECT_THROW(StatusPort::roundPort(bad), RuntimeError) << bad;
}

// A checker that shuts its sending side before it reads must still get the answer.
TEST_F(StatusPortTest, ClientThatHalfClosesFirstStillGetsTheAnswer) {
    for (int i = 0; i < 30; ++i) {
        const int fd = testsupport::connectRaw(number);
        ASSERT_GE(fd, 0);
        ::shutdown(fd, SHUT_WR);
        QByteArray data;
        const bool ended = waitUntil([&] {
            char buffer[64];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0)
                data.append(buffer, n);
            return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
        });
        ::close(fd);
        EXPECT_TRUE(ended);
        EXPECT_EQ(data, QByteArray("SERVICES UP")) << "client " << i;
    }
}

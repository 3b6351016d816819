#include "StatusPort.h"

#include "TestSupport.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct StatusPortTest : ::testing::Test {
    StatusPort port;
    quint16 number = testsupport::freePort();
    void SetUp() override {
        port.setPort(number);
        port.listen();
    }
};

// What a raw client receives until the end of stream; it closes the descriptor.
QByteArray receive(int fd) {
    QByteArray data;
    testsupport::waitUntil([&] {
        char buffer[64];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        data.append(buffer, std::max<qsizetype>(n, 0));
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

#include "MetricsPort.h"

#include "FailureAlert.h"
#include "Log.h"
#include "MetricsClient.h"
#include "SMTPClient.h"
#include "StatusPort.h"
#include "TaskTable.h"
#include "TestSupport.h"

#include <QTcpSocket>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

using testsupport::waitUntil;

namespace {

class MetricsPortTest : public ::testing::Test {
  protected:
    MetricsPortTest() {
        statusPort.setPort(testsupport::freePort());
        metrics.start(QString::number(testsupport::freePort()));
        port = metrics.boundPort();
    }

    TaskTable tasks;
    Log log;
    SMTPClient mail;
    FailureAlert alerts{tasks, mail, log};
    StatusPort statusPort;
    MetricsPort metrics{tasks, alerts, statusPort, log};
    quint16 port = 0;
};

} // namespace

// Names shown in the lists may hold anything a label value must escape.
TEST_F(MetricsPortTest, ExposesEachTaskWithEscapedNamesInValidFormat) {
    ASSERT_NE(port, 0);
    TaskRecord& odd = tasks.add();
    odd = {1, 0, QStringLiteral("say \"hi\" \\ now"), QStringLiteral("x"), true, true};
    odd.failureCount = 3;
    odd.restartCount = 2;
    odd.processStartedMs = 1700000000123;
    TaskRecord& down = tasks.add();
    down = {2, 0, QStringLiteral("two\nlines \u00e9"), QStringLiteral("y"), false, false};
    down.restartLimited = true;
    statusPort.listen();

    const metricsclient::Scrape scrape = metricsclient::get(port);
    ASSERT_EQ(scrape.status, 200);
    EXPECT_TRUE(scrape.contentType.startsWith("text/plain; version=0.0.4"))
        << scrape.contentType.data();
    const auto samples = metricsclient::samples(scrape.body);
    const QByteArray first = R"({task="say \"hi\" \\ now",id="1"})";
    const QByteArray second = "{task=\"two\\nlines \xc3\xa9\",id=\"2\"}";
    const QMap<QByteArray, QByteArray> expected = {
        {"prowlix_task_up" + first, "1"},
        {"prowlix_task_up" + second, "0"},
        {"prowlix_task_failures_total" + first, "3"},
        {"prowlix_task_restarts_total" + first, "2"},
        {"prowlix_task_process_start_time_seconds" + first, "1700000000.123"},
        {"prowlix_task_restart_limited" + first, "0"},
        {"prowlix_task_restart_limited" + second, "1"},
        {R"(prowlix_alerts_total{result="sent"})", "0"},
        {R"(prowlix_alerts_total{result="failed"})", "0"},
        {"prowlix_alerts_queued", "0"},
        {"prowlix_status_port_open", "1"},
    };
    for (auto it = expected.begin(); it != expected.end(); ++it)
        EXPECT_EQ(samples.value(it.key()), it.value()) << it.key().data();
    EXPECT_EQ(samples.size(), 2 * 5 + 6);
    EXPECT_EQ(metricsclient::promtoolComplaint(scrape.body), QByteArray()) << scrape.body.data();

    statusPort.close();
    EXPECT_EQ(
        metricsclient::samples(metricsclient::get(port).body).value("prowlix_status_port_open"),
        "0");
}

TEST_F(MetricsPortTest, AnswersEachKindOfRequestWithItsStatus) {
    ASSERT_NE(port, 0);
    const QByteArray get = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
    const struct {
        QByteArray request;
        QByteArray statusLine;
    } cases[] = {
        {get, "HTTP/1.1 200 OK"},
        {"GET /metrics?x=1 HTTP/1.0\n\n", "HTTP/1.1 200 OK"},
        {"\r\nGET http://host:9/metrics HTTP/1.1\r\nAccept:\r\n\r\n", "HTTP/1.1 200 OK"},
        {"GET /metrics/ HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
        {"DELETE /elsewhere HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc",
         "HTTP/1.1 405 Method Not Allowed"},
        {"GET /metrics HTTP/2.0\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"GET /metrics HTTP/1.1\r\nno colon here\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"GET  /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        // Garbage and a TLS greeting are refused at once, without waiting for a head to end.
        {QByteArray("\x16\x03\x01\x02\x00\x01\x00", 7), "HTTP/1.1 400 Bad Request"},
        {QByteArray("GET /metrics\0 HTTP/1.1", 22), "HTTP/1.1 400 Bad Request"},
        {"GET /metrics HTTP/1.1\r\nX: " + QByteArray(9000, 'a'), "HTTP/1.1 431 "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request.left(60).toPercentEncoding().data());
        const QByteArray answer = metricsclient::exchange(port, c.request);
        EXPECT_TRUE(answer.startsWith(c.statusLine)) << answer.left(80).data();
    }
    EXPECT_TRUE(metricsclient::exchange(port, "POST /metrics HTTP/1.1\r\n\r\n")
                    .contains("\r\nAllow: GET, HEAD\r\n"));

    // HEAD: the same head as GET, no body.
    const QByteArray head = metricsclient::exchange(port, "HEAD /metrics HTTP/1.1\r\n\r\n");
    const QByteArray full = metricsclient::exchange(port, get);
    EXPECT_TRUE(head.endsWith("\r\n\r\n")) << head.data();
    EXPECT_EQ(head, full.left(full.indexOf("\r\n\r\n") + 4));

    // A megabyte of request: the 431 may be lost to the reset of the unread rest; either way
    // the connection ends and the endpoint holds nothing of it.
    const QByteArray huge = metricsclient::exchange(port, "GET /" + QByteArray(1 << 20, 'a'));
    EXPECT_TRUE(huge.isEmpty() || huge.startsWith("HTTP/1.1 431 ")) << huge.left(80).data();
    EXPECT_TRUE(waitUntil([&] { return metrics.openConnections() == 0; }));
}

// Clients that send half a request, or nothing, are cut off at the deadline; beyond the cap
// they wait their turn, and the endpoint never holds more connections than the cap.
TEST_F(MetricsPortTest, SlowAndSilentClientsAreCutOffAndCannotGrowTheEndpoint) {
    ASSERT_NE(port, 0);
    QTcpSocket slow;
    slow.connectToHost(QHostAddress::LocalHost, port);
    slow.write("GET /metr");
    ASSERT_TRUE(waitUntil([&] { return metrics.openConnections() == 1; }));
    EXPECT_EQ(metricsclient::get(port).status, 200);

    std::vector<std::unique_ptr<QTcpSocket>> silent;
    for (int i = 0; i < MetricsPort::maxConnections + 5; ++i) {
        silent.push_back(std::make_unique<QTcpSocket>());
        silent.back()->connectToHost(QHostAddress::LocalHost, port);
    }
    int most = 0;
    const auto open = [&] {
        most = std::max(most, metrics.openConnections());
        return metrics.openConnections();
    };
    EXPECT_TRUE(waitUntil([&] { return open() == MetricsPort::maxConnections; }));
    // A scrape now waits until the deadline frees the slots, then is answered.
    const metricsclient::Scrape late = metricsclient::get(port);
    EXPECT_EQ(late.status, 200);
    EXPECT_TRUE(waitUntil(
        [&] {
            open();
            return slow.state() == QAbstractSocket::UnconnectedState &&
                   std::all_of(silent.begin(), silent.end(), [](const auto& s) {
                       return s->state() == QAbstractSocket::UnconnectedState;
                   });
        },
        std::chrono::seconds(20)));
    EXPECT_TRUE(waitUntil([&] { return open() == 0; }));
    EXPECT_EQ(most, MetricsPort::maxConnections);
}

#include "metrics/MetricsPort.h"

#include "ManualClock.h"
#include "MonitorProcess.h"
#include "TestSupport.h"
#include "log/Log.h"
#include "platform/Version.h"
#include "statusport/StatusPort.h"
#include "tasks/TaskTable.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <cerrno>
#include <csignal>
#include <gtest/gtest.h>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using testsupport::waitUntil;

namespace {

// "name{labels}" -> value of every sample that a real HTTP client gets from GET /metrics.
QMap<QByteArray, QByteArray> scrape(quint16 port) {
    QNetworkAccessManager manager;
    const QUrl url(QStringLiteral("http://127.0.0.1:%1/metrics").arg(port));
    const std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(url)));
    waitUntil([&] { return reply->isFinished(); }, std::chrono::seconds(15));
    QMap<QByteArray, QByteArray> samples;
    for (const QByteArray& line : reply->readAll().split('\n')) {
        const qsizetype blank = line.lastIndexOf(' ');
        if (reply->error() == QNetworkReply::NoError && !line.startsWith('#') && blank > 0)
            samples.insert(line.left(blank), line.mid(blank + 1));
    }
    return samples;
}

// Sends the bytes on a fresh connection; returns all that came back before the endpoint closed.
QByteArray exchange(quint16 port, const QByteArray& request) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.write(request);
    QByteArray answer;
    waitUntil([&] {
        answer += socket.readAll();
        return socket.state() == QAbstractSocket::UnconnectedState;
    });
    return answer + socket.readAll();
}

// Sends every byte before it reads, as simple clients do; what came back, then " <end>" for end
// of stream or " <reset>".
QByteArray sendAllThenRead(quint16 port, const QByteArray& request) {
    const int fd = testsupport::connectRaw(port, true);
    qsizetype sent = 0;
    QByteArray answer;
    waitUntil([&] {
        if (sent < request.size()) {
            const ssize_t n =
                ::send(fd, request.constData() + sent, size_t(request.size() - sent), MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN) {
                answer += " <reset>";
                return true;
            }
            sent += std::max<ssize_t>(n, 0);
            return false;
        }
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        answer.append(buffer, std::max<qsizetype>(n, 0));
        if (n == 0 || (n < 0 && errno != EAGAIN))
            answer += n == 0 ? " <end>" : " <reset>";
        return n == 0 || (n < 0 && errno != EAGAIN);
    });
    ::close(fd);
    return answer;
}

struct MetricsPortTest : ::testing::Test {
    MetricsPortTest() {
        log.LogActivity = true;
        statusPort.setPort(testsupport::freePort());
        metrics.start(QString::number(testsupport::freePort()));
        port = metrics.boundPort();
        EXPECT_NE(port, 0);
    }

    QTemporaryDir dir;
    TaskTable tasks;
    Log log{ProgramInfo{dir.path(), QStringLiteral("prowlix")}};
    MetricsPort::AlertFigures alerts;
    StatusPort statusPort;
    testsupport::ManualClock clock;
    MetricsPort metrics{tasks, [this] { return alerts; }, statusPort, log, clock};
    quint16 port = 0;
};

} // namespace

// Names shown in the lists may hold anything a label value must escape.
TEST_F(MetricsPortTest, ExposesEachTaskWithEscapedNamesInValidFormat) {
    TaskRecord& one = tasks.add();
    one.TaskId = 1;
    one.TaskName = "say \"hi\" \\ now";
    one.PathAndFile = "x";
    one.IsUp = one.AutoRestart = true;
    one.failureCount = 3;
    one.restartCount = 2;
    one.processStartedMs = 1700000000123;
    one.lastExit = ProcessStatus::ended(3 << 8); // exited with status 3
    TaskRecord& two = tasks.add();
    two.TaskId = 2;
    two.TaskName = QString::fromUtf8("two\nlines \u00e9");
    two.PathAndFile = "y";
    two.restartLimited = true;
    two.lastExit = ProcessStatus::ended(SIGKILL);
    two.health.configured = two.health.unhealthy = true;
    two.health.failuresTotal = 4;
    two.restartDueMs = 1700000005500;
    statusPort.listen();
    alerts = {5, 1, 2};

    const auto samples = scrape(port);
    const QByteArray first = R"({task="say \"hi\" \\ now",id="1"})";
    const QByteArray second = "{task=\"two\\nlines \xc3\xa9\",id=\"2\"}";
    const std::pair<QByteArray, QByteArray> expected[] = {
        {"prowlix_task_up" + first, "1"},
        {"prowlix_task_up" + second, "0"},
        {"prowlix_task_failures_total" + first, "3"},
        {"prowlix_task_restarts_total" + first, "2"},
        {"prowlix_task_process_start_time_seconds" + first, "1700000000.123"},
        {"prowlix_task_restart_limited" + second, "1"},
        {"prowlix_task_last_exit_code" + first, "3"},
        {"prowlix_task_last_exit_signal" + second, "9"},
        {"prowlix_task_healthy" + second, "0"},
        {"prowlix_task_check_failures_total" + second, "4"},
        {"prowlix_task_restart_due_time_seconds" + second, "1700000005.500"},
        {"prowlix_alerts_total{result=\"sent\"}", "5"},
        {"prowlix_alerts_total{result=\"failed\"}", "1"},
        {"prowlix_alerts_queued", "2"},
        {"prowlix_status_port_open", "1"},
        {"prowlix_build_info{version=\"" + QByteArray(Version::text) + "\"}", "1"}};
    for (const auto& [sample, value] : expected)
        EXPECT_EQ(samples.value(sample), value) << sample.data();
    EXPECT_EQ(samples.size(), 2 * 6 + 2 + 6 + 2); // exits and health only where they apply
    // promtool's lint remarks fail the check too.
    const QByteArray answer = exchange(port, "GET /metrics HTTP/1.1\r\n\r\n");
    QProcess promtool;
    promtool.setProcessChannelMode(QProcess::MergedChannels);
    promtool.start("promtool", {"check", "metrics"});
    promtool.write(answer.mid(answer.indexOf("\r\n\r\n") + 4));
    promtool.closeWriteChannel();
    EXPECT_TRUE(promtool.waitForFinished(30000) && promtool.exitCode() == 0)
        << qPrintable(promtool.errorString()) << promtool.readAll().data() << answer.data();
    statusPort.close();
    EXPECT_EQ(scrape(port).value("prowlix_status_port_open"), "0");
}

TEST_F(MetricsPortTest, AnswersEachKindOfRequestWithItsStatus) {
    const QByteArray get = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::pair<QByteArray, const char*> rows[] = {
        {get, "200 OK"},
        {"GET /metrics?x=1 HTTP/1.0\n\n", "200 OK"},
        {"\r\nGET http://host:9/metrics HTTP/1.1\r\nAccept:\r\n\r\n", "200 OK"},
        {"GET /metrics/ HTTP/1.1\r\n\r\n", "404 Not Found"},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", "405 Method Not Allowed"},
        {"GET /metrics HTTP/2.0\r\n\r\n", "400 Bad Request"},
        {"GET /metrics HTTP/1.1\r\nno colon here\r\n\r\n", "400 Bad Request"},
        // Garbage and a TLS greeting are refused at once, without waiting for a head to end.
        {QByteArray("\x16\x03\x01\x02\x00\x01\x00", 7), "400 Bad Request"},
        {QByteArray("GET /metrics\0 HTTP/1.1", 22), "400 Bad Request"},
        {"GET /metrics HTTP/1.1\r\nX: " + QByteArray(9000, 'a'), "431 "},
    };
    for (const auto& [request, status] : rows) {
        const QByteArray answer = exchange(port, request);
        EXPECT_TRUE(answer.startsWith(QByteArray("HTTP/1.1 ").append(status)))
            << request.left(60).toPercentEncoding().data() << ": " << answer.left(80).data();
    }
    EXPECT_TRUE(
        exchange(port, "POST /metrics HTTP/1.1\r\n\r\n").contains("\r\nAllow: GET, HEAD\r\n"));
    // HEAD: the same head as GET, no body.
    const QByteArray head = exchange(port, "HEAD /metrics HTTP/1.1\r\n\r\n");
    const QByteArray full = exchange(port, get);
    EXPECT_TRUE(full.contains("\r\nContent-Type: text/plain; version=0.0.4;")) << full.data();
    EXPECT_TRUE(head.endsWith("\r\n\r\n") && head == full.left(full.indexOf("\r\n\r\n") + 4))
        << head.data();
    // A client that sends its whole megabyte before it reads sees the 431 and end of stream, not
    // a reset; nothing of it is kept.
    const QByteArray huge = sendAllThenRead(port, "GET /" + QByteArray(1 << 20, 'a'));
    EXPECT_TRUE(huge.startsWith("HTTP/1.1 431 ") && huge.endsWith(" <end>"))
        << huge.left(80).data() << huge.right(20).data();
    EXPECT_TRUE(waitUntil([&] { return metrics.openConnections() == 0; }));
}

// Slow clients holding every place cannot keep a scraper out: the oldest that has not finished
// its request gives up its place. Half a request or nothing is cut off at the deadline.
TEST_F(MetricsPortTest, SlowClientsCannotStarveAScraperAndAreCutOffAtTheDeadline) {
    const auto open = [&] { return metrics.openConnections(); };
    std::vector<int> slow;
    for (int i = 0; i < MetricsPort::maxConnections; ++i) {
        slow.push_back(testsupport::connectRaw(port, true));
        if (i % 2 == 0)
            ::send(slow.back(), "GET /metr", 9, MSG_NOSIGNAL);
    }
    ASSERT_TRUE(waitUntil([&] { return open() == MetricsPort::maxConnections; }));
    const auto closed = [](int fd) {
        char byte;
        const ssize_t n = ::recv(fd, &byte, 1, MSG_DONTWAIT);
        return n == 0 || (n < 0 && errno != EAGAIN);
    };
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(scrape(port).isEmpty()) << "scrape " << i;
    // The first scrape took the oldest's place; the next ones the place it left.
    EXPECT_TRUE(waitUntil([&] { return closed(slow[0]); }));
    EXPECT_FALSE(closed(slow[1]) || closed(slow.back()));
    EXPECT_LE(open(), MetricsPort::maxConnections);
    clock.advance(MetricsPort::requestTimeoutMs - 1);
    EXPECT_FALSE(closed(slow.back()));
    clock.advance(1);
    EXPECT_TRUE(waitUntil([&] { return open() == 0 && std::ranges::all_of(slow, closed); }));
    for (const int fd : slow)
        ::close(fd);
}

TEST_F(MetricsPortTest, UnusableValueIsOneLoggedEventAndLeavesTheEndpointOff) {
    QTcpServer occupier;
    ASSERT_TRUE(occupier.listen(QHostAddress::Any, 0));
    const QString taken = QString::number(occupier.serverPort());
    const std::pair<QString, QString> rows[] = {
        {taken, "Unable to listen on port " + taken + ": "},
        {"70000", "Invalid port number 70000: "},
        {"0", "Invalid port number 0: "},
        {"nine", "not a port number"},
        {QString::number(statusPort.Winsock1.LocalPort), "is the status port"}};
    for (const auto& [value, reason] : rows) {
        const qsizetype before = log.LogContents(QDate::currentDate()).size();
        metrics.start(value);
        const QString added = log.LogContents(QDate::currentDate()).mid(before);
        EXPECT_FALSE(metrics.isListening()) << qPrintable(value);
        EXPECT_TRUE(added.count("\r\n") == 1 && added.contains(reason) &&
                    added.contains("ERROR: METRICS_PORT=" + value + ": "))
            << qPrintable(added);
    }
}

// The real monitor: METRICS_PORT from its INI file, and a task that ends once, with its restart
// and its alert, in the scrapes. Nothing listens on the mail port: the alert fails at once.
TEST(MetricsEndToEndTest, ScrapesShowAFailureTheRestartAndTheAlert) {
    testsupport::MonitorProcess monitor;
    const quint16 port = testsupport::freePort();
    const QString ini = monitor.dir() + "/metrics.ini", mark = monitor.dir() + "/mark";
    const QString lines = "START=sh -c 'test -e %1 && exec sleep 3600 || touch %1',back\\slash,,1\n"
                          "METRICS_PORT=%2\nport=%3\nkill=True\nSMTP_SERVER=127.0.0.1\n"
                          "SMTP_PORT=1\nSMTP_TO=ops@x.org\n";
    ASSERT_TRUE(testsupport::writeFile(
        ini, lines.arg(mark).arg(port).arg(testsupport::freePort()).toUtf8()));
    monitor.start({"/NOGUI", "/I:" + ini});
    QMap<QByteArray, QByteArray> samples;
    EXPECT_TRUE(waitUntil([&] {
        samples = scrape(port);
        return samples.value(R"(prowlix_alerts_total{result="failed"})") == "1" &&
               samples.value("prowlix_status_port_open") == "1";
    })) << qPrintable(monitor.log());
    const QByteArray task = R"({task="back\\slash",id="1"})";
    EXPECT_EQ(samples.value("prowlix_task_up" + task), "1");
    EXPECT_EQ(samples.value("prowlix_task_failures_total" + task), "1");
    EXPECT_EQ(samples.value("prowlix_task_restarts_total" + task), "1");
    EXPECT_TRUE(monitor.stop());
}

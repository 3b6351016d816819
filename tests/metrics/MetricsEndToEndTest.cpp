#include "MailServers.h"
#include "MetricsClient.h"
#include "MonitorProcess.h"
#include "TestSupport.h"

#include <QDir>
#include <QTcpServer>
#include <csignal>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

using testsupport::MonitorProcess;
using testsupport::waitUntil;

namespace {

// Starts the real monitor on an INI file holding the lines; true once the status port is set.
bool startMonitor(MonitorProcess& monitor, quint16 statusPort, const QStringList& lines) {
    const QString ini = monitor.dir() + QStringLiteral("/metrics.ini");
    testsupport::writeFile(ini, (lines + QStringList{QStringLiteral("port=%1").arg(statusPort),
                                                     QStringLiteral("kill=True")})
                                    .join(QLatin1Char('\n'))
                                    .toUtf8());
    monitor.start({QStringLiteral("/NOGUI"), QStringLiteral("/I:") + ini});
    return monitor.waitForLog(QStringLiteral("PORT: %1").arg(statusPort));
}

int openDescriptors(qint64 pid) {
    return static_cast<int>(QDir(QStringLiteral("/proc/%1/fd").arg(pid))
                                .entryList(QDir::NoDotAndDotDot | QDir::AllEntries)
                                .size());
}

} // namespace

TEST(MetricsEndToEndTest, ScrapesShowAFailureTheRestartAndTheAlert) {
    SinkServer sink;
    ASSERT_TRUE(sink.ready());
    MonitorProcess monitor;
    const quint16 metricsPort = testsupport::freePort();
    ASSERT_TRUE(startMonitor(monitor, testsupport::freePort(),
                             {QStringLiteral("START=sleep 3600,back\\slash,,True"),
                              QStringLiteral("METRICS_PORT=%1").arg(metricsPort),
                              QStringLiteral("SMTP_SERVER=127.0.0.1"),
                              QStringLiteral("SMTP_TO=ops@example.org"),
                              QStringLiteral("SMTP_PORT=%1").arg(sink.port())}))
        << qPrintable(monitor.log());
    EXPECT_TRUE(monitor.log().contains(QStringLiteral("METRICS PORT: %1").arg(metricsPort)));
    const QByteArray task = R"({task="back\\slash",id="1"})";
    auto before = metricsclient::samples(metricsclient::get(metricsPort).body);
    ASSERT_EQ(before.value("prowlix_task_up" + task), "1");
    EXPECT_EQ(before.value("prowlix_task_failures_total" + task), "0");
    EXPECT_EQ(before.value("prowlix_status_port_open"), "1");

    const QStringList children =
        testsupport::readFile(QStringLiteral("/proc/%1/task/%1/children").arg(monitor.pid()))
            .split(QLatin1Char(' '), Qt::SkipEmptyParts);
    ASSERT_EQ(children.size(), 1);
    ASSERT_EQ(::kill(children[0].toInt(), SIGKILL), 0);

    metricsclient::Scrape after;
    const auto samples = [&] { return metricsclient::samples(after.body); };
    EXPECT_TRUE(waitUntil([&] {
        after = metricsclient::get(metricsPort);
        return samples().value(R"(prowlix_alerts_total{result="sent"})") == "1" &&
               samples().value("prowlix_status_port_open") == "1";
    })) << after.body.data();
    EXPECT_EQ(samples().value("prowlix_task_up" + task), "1");
    EXPECT_EQ(samples().value("prowlix_task_failures_total" + task), "1");
    EXPECT_EQ(samples().value("prowlix_task_restarts_total" + task), "1");
    EXPECT_EQ(samples().value(R"(prowlix_alerts_total{result="failed"})"), "0");
    EXPECT_EQ(samples().value("prowlix_alerts_queued"), "0");
    EXPECT_GT(samples().value("prowlix_task_process_start_time_seconds" + task).toDouble(),
              before.value("prowlix_task_process_start_time_seconds" + task).toDouble());
    EXPECT_GE(samples().value("prowlix_task_process_start_time_seconds" + task).toDouble(),
              samples().value("prowlix_start_time_seconds").toDouble());
    EXPECT_EQ(samples().value(R"(prowlix_build_info{version="1.0.0"})"), "1");
    EXPECT_EQ(metricsclient::promtoolComplaint(after.body), QByteArray()) << after.body.data();
    EXPECT_TRUE(monitor.stop());
}

TEST(MetricsEndToEndTest, UnusablePortIsOneEventAndLeavesTheMonitorServing) {
    QTcpServer occupier;
    ASSERT_TRUE(occupier.listen(QHostAddress::Any, 0));
    const quint16 statusPort = testsupport::freePort();
    const struct {
        QString value;
        QString reason;
    } cases[] = {
        {QString::number(occupier.serverPort()),
         QStringLiteral("Unable to listen on port %1: ").arg(occupier.serverPort())},
        {QStringLiteral("70000"), QStringLiteral("Invalid port number 70000: ")},
        {QStringLiteral("0"), QStringLiteral("Invalid port number 0: ")},
        {QStringLiteral("nine"), QStringLiteral("not a port number")},
        {QString::number(statusPort), QStringLiteral("is the status port")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(qPrintable(c.value));
        MonitorProcess monitor;
        ASSERT_TRUE(startMonitor(monitor, statusPort,
                                 {QStringLiteral("START=sleep 3600,,,False"),
                                  QStringLiteral("METRICS_PORT=") + c.value}))
            << qPrintable(monitor.log());
        EXPECT_EQ(testsupport::probePort(statusPort).data, QByteArray("SERVICES UP"));
        const QString log = monitor.log();
        EXPECT_EQ(log.count(QStringLiteral("METRICS")), 1) << qPrintable(log);
        EXPECT_TRUE(log.contains(QStringLiteral("ERROR: METRICS_PORT (") + c.value +
                                 QStringLiteral("): ")) &&
                    log.contains(c.reason))
            << qPrintable(log);
        EXPECT_TRUE(monitor.stop());
    }
}

// A thousand clients at once are each answered in turn; afterwards the monitor holds no more
// descriptors than when idle.
TEST(MetricsEndToEndTest, AThousandClientsAtOnceAreAnsweredAndLeaveNothingBehind) {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    MonitorProcess monitor;
    const quint16 metricsPort = testsupport::freePort();
    ASSERT_TRUE(startMonitor(monitor, testsupport::freePort(),
                             {QStringLiteral("START=sleep 3600,,,False"),
                              QStringLiteral("METRICS_PORT=%1").arg(metricsPort)}));
    ASSERT_EQ(metricsclient::get(metricsPort).status, 200);
    const int idle = openDescriptors(monitor.pid());

    constexpr int clients = 1000;
    std::vector<pollfd> fds;
    std::vector<QByteArray> answers(clients);
    const QByteArray request = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
    for (int i = 0; i < clients; ++i) {
        const int fd = testsupport::connectRaw(metricsPort);
        ASSERT_EQ(::write(fd, request.constData(), request.size()), request.size());
        fds.push_back({fd, POLLIN, 0});
    }
    int open = clients;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (open > 0 && std::chrono::steady_clock::now() < deadline &&
           ::poll(fds.data(), fds.size(), 1000) >= 0) {
        for (int i = 0; i < clients; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[8192];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                answers[i].append(buffer, n);
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    EXPECT_EQ(open, 0);
    const auto answered = std::count_if(answers.begin(), answers.end(), [](const QByteArray& a) {
        return a.startsWith("HTTP/1.1 200 OK") && a.contains("prowlix_build_info{");
    });
    EXPECT_EQ(answered, clients);
    EXPECT_TRUE(waitUntil([&] { return openDescriptors(monitor.pid()) <= idle; }))
        << openDescriptors(monitor.pid()) << " open, " << idle << " when idle";
    EXPECT_TRUE(monitor.stop());
}

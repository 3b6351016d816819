// What health checks cost the monitor: 100 TCP and 100 HTTP checks every 10 s (spread over the
// interval as launches spread them), against local servers that run as separate processes.
// Prints the processor time and the wake-ups of this process per minute over the window, then
// how long a stopped server takes to be found unhealthy, beside the moment its schedule allows.
//
//     health_bench [window-seconds=60] [detection-trials=5]
#include "checks/HealthCheck.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>
#include <sys/resource.h>
#include <vector>

namespace {

struct Usage {
    double cpu = 0;
    double system = 0;
    long switches = 0; // each wake-up is at least one
};

Usage usage() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return {static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6,
            static_cast<double>(u.ru_stime.tv_sec) + static_cast<double>(u.ru_stime.tv_usec) / 1e6,
            u.ru_nvcsw + u.ru_nivcsw};
}

quint16 freePort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    return server.serverPort();
}

// A probe server of the tests, up and listening.
std::unique_ptr<QProcess> startServer(quint16 port, const QString& requestLog) {
    auto server = std::make_unique<QProcess>();
    server->start(QStringLiteral("python3"),
                  {QStringLiteral(PROBE_SERVER), QString::number(port), requestLog});
    server->waitForReadyRead(10000);
    return server;
}

HealthCheckSpec definition(const QString& check, const char* interval, const char* timeout) {
    QString error;
    auto parsed = HealthCheckSpec::parse({{QStringLiteral("check"), check},
                                          {QStringLiteral("check_interval"), interval},
                                          {QStringLiteral("check_timeout"), timeout},
                                          {QStringLiteral("check_grace"), QStringLiteral("0")}},
                                         &error);
    if (!parsed) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        std::exit(1);
    }
    return *parsed;
}

void runFor(int ms) {
    QTimer::singleShot(ms, [] { QCoreApplication::quit(); });
    QCoreApplication::exec();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int window = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    const int trials = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    QTemporaryDir dir;
    const quint16 port = freePort();
    const auto server = startServer(port, QDir(dir.path()).filePath(QStringLiteral("load")));

    // Each check starts at a random moment of its first interval, as tasks launched apart do.
    std::vector<std::unique_ptr<HealthCheck>> checks;
    for (int i = 0; i < 200; ++i) {
        const QString check = i < 100 ? QStringLiteral("tcp:127.0.0.1:%1").arg(port)
                                      : QStringLiteral("http://127.0.0.1:%1/200").arg(port);
        checks.push_back(std::make_unique<HealthCheck>(definition(check, "10", "5")));
        QTimer::singleShot(QRandomGenerator::global()->bounded(10000),
                           [c = checks.back().get()] { c->arm(); });
    }
    runFor(12000); // every check has run once
    const Usage before = usage();
    QElapsedTimer wall;
    wall.start();
    runFor(window * 1000);
    const Usage after = usage();
    const double minutes = static_cast<double>(wall.elapsed()) / 60000.0;
    quint64 failures = 0;
    for (const auto& c : checks)
        failures += c->state().failuresTotal;
    const double cpuMsPerMinute = (after.cpu - before.cpu) * 1000.0 / minutes;
    std::printf("200 checks (100 tcp, 100 http) every 10 s, %d s window, %llu failed checks\n",
                window, static_cast<unsigned long long>(failures));
    std::printf(
        "processor time: %.1f ms per minute (%.1f ms in the kernel) = %.4f %% of one core\n",
        cpuMsPerMinute, (after.system - before.system) * 1000.0 / minutes, cpuMsPerMinute / 600.0);
    std::printf("wake-ups (context switches): %.0f per minute\n",
                static_cast<double>(after.switches - before.switches) / minutes);

    // Detection, with the load still running: an HTTP check every second, half a second to
    // answer, three retries. The server is stopped right after a check passed, the worst moment;
    // the schedule then allows interval x retries + timeout, less the passing probe's own time.
    const quint16 stoppedPort = freePort();
    const auto stopped =
        startServer(stoppedPort, QDir(dir.path()).filePath(QStringLiteral("stop")));
    HealthCheck detect(
        definition(QStringLiteral("http://127.0.0.1:%1/200").arg(stoppedPort), "1", "0.5"));
    QElapsedTimer sinceArm;
    qint64 passedAt = -1;
    qint64 stoppedAt = -1;
    std::vector<double> lateness;
    std::vector<double> detection;
    QObject::connect(&detect, &HealthCheck::checked, [&] {
        if (stoppedAt < 0 && detect.state().failuresInRow == 0) {
            ::kill(static_cast<pid_t>(stopped->processId()), SIGSTOP);
            stoppedAt = sinceArm.nsecsElapsed();
        }
    });
    QObject::connect(&detect, &HealthCheck::unhealthy, [&] {
        const qint64 now = sinceArm.nsecsElapsed();
        const double found = static_cast<double>(now - stoppedAt) / 1e6;
        // Probes were due at 1 s, 2 s and 3 s after the passing one began (at the arm), each
        // failing 0.5 s later.
        lateness.push_back(static_cast<double>(now) / 1e6 - (passedAt + 3000 + 500));
        detection.push_back(found);
        ::kill(static_cast<pid_t>(stopped->processId()), SIGCONT);
        QCoreApplication::quit();
    });
    for (int t = 0; t < trials; ++t) {
        stoppedAt = -1;
        passedAt = 0; // the first probe begins at the arm: no grace
        sinceArm.start();
        detect.arm();
        QCoreApplication::exec();
    }
    std::sort(lateness.begin(), lateness.end());
    std::sort(detection.begin(), detection.end());
    std::printf("detection of a stopped server (interval 1 s, timeout 0.5 s, retries 3), %d "
                "trials:\n  from the stop: min %.1f ms, median %.1f ms, max %.1f ms\n"
                "  later than the schedule allows: min %.1f ms, median %.1f ms, max %.1f ms\n",
                trials, detection.front(), detection[detection.size() / 2], detection.back(),
                lateness.front(), lateness[lateness.size() / 2], lateness.back());
    server->kill();
    stopped->kill();
    server->waitForFinished();
    stopped->waitForFinished();
    return 0;
}

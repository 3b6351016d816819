// Processor time the mail sender uses while it waits for a server that accepts the connection
// and never answers: the wait must sleep in the event loop, not spin.
//
//   mail_idle_cpu [seconds] [runs]     (defaults: 10 s, 3 runs)
//
// Prints wall and CPU time of each run, then min, median and max of the CPU share of one core.

#include "mail/SMTPClient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <cstdio>
#include <sys/resource.h>
#include <vector>

namespace {

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The port setting is a 16-bit signed number, so the silent server must sit below 32768.
bool listenLow(QTcpServer& server) {
    for (quint16 port = 21000; port < 32000; ++port) {
        if (server.listen(QHostAddress::LocalHost, port)) {
            return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 3;

    QTcpServer silent;
    if (!listenLow(silent)) {
        std::fprintf(stderr, "no free port\n");
        return 1;
    }
    std::vector<QTcpSocket*> held; // accepted and never answered
    QObject::connect(&silent, &QTcpServer::newConnection, [&] {
        while (QTcpSocket* socket = silent.nextPendingConnection()) {
            held.push_back(socket);
        }
    });

    SMTPClient mail;
    mail.MailServer = QStringLiteral("127.0.0.1");
    mail.SMTPPort = static_cast<qint16>(silent.serverPort());
    mail.TimeOut = static_cast<qint16>(seconds);
    mail.ToAddress = QStringLiteral("bench@example.com");
    MailMessage message;
    message.FromAddress = QStringLiteral("Prowlix@example.com");
    message.Message = QStringLiteral("benchmark\r\n");
    mail.hostInfo().LoadHostInfo(); // not part of the wait

    std::vector<double> shares;
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer wall;
        wall.start();
        const double cpuBefore = cpuSeconds();
        mail.Send(message);
        while (mail.busy())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const double cpu = cpuSeconds() - cpuBefore;
        const double elapsed = static_cast<double>(wall.nsecsElapsed()) / 1e9;
        shares.push_back(100.0 * cpu / elapsed);
        std::printf("run %d: wall %.2f s, cpu %.4f s, %.3f%% of one core, outcome %s\n", run + 1,
                    elapsed, cpu, shares.back(), qPrintable(mail.lastError()));
    }
    std::sort(shares.begin(), shares.end());
    std::printf("cpu share of one core while waiting: min %.3f%%, median %.3f%%, max %.3f%%\n",
                shares.front(), shares[shares.size() / 2], shares.back());
    return 0;
}

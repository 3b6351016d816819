// Log viewer benchmark: View Current on a log file of several megabytes, through the real main
// window on the offscreen platform. Prints the time until the viewer holds the whole file and
// the longest stretch in which the event loop did not run (what the operator would feel).
//
//   log_viewer_bench [megabytes] [runs]
#include "DesktopView.h"
#include "Monitor.h"
#include "ProcessControl.h"
#include "frmMain.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

void report(const char* name, std::vector<double> values) {
    std::sort(values.begin(), values.end());
    std::printf("| %s | %.1f ms | %.1f ms | %.1f ms |\n", name, values.front(),
                values[values.size() / 2], values.back());
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int megabytes = argc > 1 ? std::atoi(argv[1]) : 5;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;

    QTemporaryDir dir;
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const QString port = QString::number(probe.serverPort());
    probe.close();

    const auto processes = createProcessControl();
    DesktopView view(true);
    Monitor monitor(view, *processes, QStringLiteral("/P:") + port,
                    ProgramInfo{dir.path(), QStringLiteral("prowlix")});
    monitor.quit = [] {};
    view.attach(monitor);
    monitor.startUp();

    QFile log(monitor.eventLog().LogFileName(QDate::currentDate()));
    log.open(QIODevice::Append);
    const QByteArray line = "6 Dec 2026 13:00:00 - TASK FAILURE: Task 12 (sleep 3600)\r\n";
    for (qint64 size = 0; size < qint64(megabytes) * 1024 * 1024; size += line.size())
        log.write(line);
    log.close();

    std::vector<double> totals, stalls;
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer sinceTick;
        double longest = 0;
        QTimer ticker;
        ticker.setInterval(5);
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            longest = std::max(longest, sinceTick.nsecsElapsed() / 1e6);
            sinceTick.restart();
        });
        ticker.start();
        QElapsedTimer clock;
        clock.start();
        sinceTick.start();
        view.mainWindow()->mnuLogsView->trigger();
        const double total = clock.nsecsElapsed() / 1e6;
        longest = std::max(longest, sinceTick.nsecsElapsed() / 1e6);
        totals.push_back(total);
        stalls.push_back(longest);
    }
    const qsizetype chars = view.mainWindow()->viewLog()->txtLog->document()->characterCount();
    std::printf("%d MiB log, %d runs, %lld characters shown\n", megabytes, runs,
                static_cast<long long>(chars));
    std::printf("| | min | median | max |\n| --- | --- | --- | --- |\n");
    report("View Current until the viewer is filled", totals);
    report("Longest time without events running", stalls);
    return 0;
}

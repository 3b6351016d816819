// Log viewer benchmark: View Current on a log file of a million lines (about 67 MB), through the
// real main window on the offscreen platform. Prints the time until the viewer is shown and
// painted, the longest stretch in which the event loop did not run meanwhile, the peak resident
// memory while the viewer is open and scrolled from end to end, and the resident memory left
// once it is closed, against the resident memory before it opened.
//
//   log_viewer_bench [lines] [runs]
#include "core/Monitor.h"
#include "platform/ProcessControl.h"
#include "ui/DesktopView.h"
#include "ui/LogLines.h"
#include "ui/frmMain.h"
#include "ui/frmViewLog.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QListView>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// A field of /proc/self/status in MiB (VmRSS, VmHWM).
double statusMiB(const char* field) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qstrlen(field) + 1).trimmed().split(' ').first().toDouble() / 1024;
    }
    return -1;
}

// Starts the peak over from the resident memory now.
void resetPeak() {
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

void report(const char* name, const char* unit, std::vector<double> values) {
    std::sort(values.begin(), values.end());
    std::printf("| %s | %.1f %s | %.1f %s | %.1f %s |\n", name, values.front(), unit,
                values[values.size() / 2], unit, values.back(), unit);
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const qint64 lines = argc > 1 ? std::atoll(argv[1]) : 1000000;
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
    view.attach(monitor.model());
    monitor.startUp();
    frmMain& window = *view.mainWindow();

    QFile log(monitor.eventLog().LogFileName(QDate::currentDate()));
    log.open(QIODevice::Append);
    const QByteArray line = "6 Dec 2026 13:00:00 - TASK FAILURE: Task 12 (sleep 3600) ended  \r\n";
    QByteArray block;
    for (int i = 0; i < 1000; ++i)
        block += line;
    for (qint64 written = 0; written < lines; written += 1000)
        log.write(block);
    const double fileMiB = log.size() / 1048576.0;
    log.close();
    QApplication::processEvents();

    std::vector<double> opens, stalls, peaks, retained;
    const double start = statusMiB("VmRSS:");
    for (int run = 0; run < runs; ++run) {
        const double before = statusMiB("VmRSS:");
        resetPeak();
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
        window.mnuLogsView->trigger();
        // Shown, laid out in its batches, and the last line in view.
        QListView* box = window.viewLog()->txtLog;
        const int rows = window.viewLog()->lines()->rowCount();
        const QModelIndex last = window.viewLog()->lines()->index(rows - 1);
        while (!box->viewport()->rect().intersects(box->visualRect(last)) &&
               clock.elapsed() < 30000)
            QApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        opens.push_back(clock.nsecsElapsed() / 1e6);
        longest = std::max(longest, sinceTick.nsecsElapsed() / 1e6);
        stalls.push_back(longest);
        ticker.stop();

        // From the end, where it opens, to the start and back through the middle.
        for (const int row : {0, rows / 2, rows / 4, rows - 1}) {
            box->scrollTo(window.viewLog()->lines()->index(row));
            box->viewport()->repaint();
        }
        peaks.push_back(statusMiB("VmHWM:") - before);
        window.closeViewLog();
        QApplication::processEvents();
        retained.push_back(statusMiB("VmRSS:") - start);
    }
    std::printf("%lld lines, %.1f MiB log, %d runs, resident before the first view %.1f MiB\n",
                static_cast<long long>(lines), fileMiB, runs, start);
    std::printf("| | min | median | max |\n| --- | --- | --- | --- |\n");
    report("View Current until the last line is in view", "ms", opens);
    report("Longest time without events running", "ms", stalls);
    report("Peak resident growth while viewing", "MiB", peaks);
    report("Resident growth left after closing", "MiB", retained);
    return 0;
}

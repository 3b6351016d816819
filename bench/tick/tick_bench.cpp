// Cost of one supervision sweep over N running tasks (real `sleep` processes), the work that
// the 100 ms tick does when nothing has failed, and the processor share of a monitor ticking
// over them, with and without immediate detection. Prints min, median and max per N.
#include "EngineDoubles.h"
#include "log/Log.h"
#include "platform/PosixProcessControl.h"
#include "tasks/TaskFunctions.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <sys/resource.h>
#include <vector>

namespace {

double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void measure(int taskCount, int sweeps, bool immediate) {
    QTemporaryDir dir;
    Log log{ProgramInfo{dir.path(), QStringLiteral("bench")}};
    TaskTable tasks;
    TaskList up, down;
    PosixProcessControl processes(immediate ? EndDetection::Immediate : EndDetection::TickOnly);
    TaskFunctions functions(tasks, up, down, log, processes);
    for (int i = 0; i < taskCount; ++i) {
        QString name;
        qint16 mode = 0;
        functions.StartTask(name, QStringLiteral("sleep 3600"), mode, false);
    }
    std::vector<double> micros;
    for (int i = 0; i < sweeps; ++i) {
        QCoreApplication::processEvents(); // as between two ticks
        QElapsedTimer timer;
        timer.start();
        functions.sweep();
        micros.push_back(static_cast<double>(timer.nsecsElapsed()) / 1000.0);
    }
    // Processor time of the whole monitor over a few seconds of 100 ms ticks, event loop included.
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&functions] { functions.sweep(); });
    tick.start(supervisionTickMs);
    const double cpuBefore = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    QTimer::singleShot(3000, [] { QCoreApplication::quit(); });
    QCoreApplication::exec();
    const double cpuShare =
        (cpuSeconds() - cpuBefore) / (static_cast<double>(wall.elapsed()) / 1000.0);

    std::sort(micros.begin(), micros.end());
    std::printf("%-13s tasks %5d  sweep us: min %8.1f  median %8.1f  max %8.1f  (%d sweeps, %d up)"
                "  ticking: %.2f%% of one core\n",
                immediate ? "immediate" : "tick only", taskCount, micros.front(),
                micros[micros.size() / 2], micros.back(), sweeps, static_cast<int>(up.count()),
                cpuShare * 100);
    for (int p = 1; p <= tasks.upperBound(); ++p)
        ::kill(tasks[p].ProcessId, SIGKILL);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    for (const bool immediate : {true, false}) {
        for (const int n : {100, 1000})
            measure(n, 200, immediate);
    }
    return 0;
}

#include "Runner.h"

#include "CommandLine.h"
#include "Monitor.h"
#include "ProcessControl.h"
#include "ServiceNotifier.h"
#include "SignalWatcher.h"

#include <QCoreApplication>
#include <sys/resource.h>

namespace {
// Every task holds a process descriptor: lift the soft limit so that large tables fit.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}
} // namespace

int runMonitor(View& view, const QStringList& arguments,
               const std::function<void(Monitor&)>& attach, const QStringList& notices) {
    raiseDescriptorLimit();
    ServiceNotifier::takeFromEnvironment();
    // Benchmark switch: PROWLIX_BENCH_TICK_ONLY=1 leaves every task's end to the 100 ms tick, so
    // the supervision benchmark can compare the tick alone with immediate detection.
    const auto processes =
        createProcessControl(qEnvironmentVariable("PROWLIX_BENCH_TICK_ONLY") == QLatin1String("1")
                                 ? EndDetection::TickOnly
                                 : EndDetection::Immediate);
    Monitor monitor(view, *processes, clsCommandLine::argumentText(arguments));
    SignalWatcher signalWatcher;
    QObject::connect(&signalWatcher, &SignalWatcher::stopRequested, &monitor,
                     [&monitor] { monitor.ShutDownMonitor(); });
    for (const QString& argument : clsCommandLine::refusedArguments(arguments))
        monitor.noteAtStart(QStringLiteral("ERROR: Argument refused (") + argument +
                                QStringLiteral("): an argument cannot hold a double quote"),
                            true);
    for (const QString& notice : notices)
        monitor.noteAtStart(notice);
    if (attach)
        attach(monitor);
    monitor.startUp();
    ServiceNotifier::notify("READY=1");
    return QCoreApplication::exec();
}

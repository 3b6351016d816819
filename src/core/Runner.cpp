#include "Runner.h"

#include "Clock.h"
#include "CommandLine.h"
#include "Monitor.h"
#include "ProcessControl.h"
#include "ServiceNotifier.h"
#include "SignalWatcher.h"

#include <QCoreApplication>
#include <csignal>
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
               const std::function<void(Monitor&)>& attach) {
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
                     [&monitor](int signalNumber) {
                         // A hand-over (the service manager's restart): the tasks stay running
                         // for the next monitor to adopt, whatever kill says.
                         if (signalNumber == SIGQUIT)
                             monitor.settings().KillOnExit = false;
                         monitor.ShutDownMonitor();
                     });
    if (attach)
        attach(monitor);
    monitor.startUp();
    if (monitor.refused())
        return 1;
    ServiceNotifier::notify("READY=1");
    // Sent from the event loop, so a monitor that hangs stops sending and the manager restarts it.
    ClockTimer watchdog;
    if (const int every = ServiceNotifier::watchdogIntervalMs(); every > 0) {
        QObject::connect(&watchdog, &ClockTimer::timeout,
                         [] { ServiceNotifier::notify("WATCHDOG=1"); });
        watchdog.start(every);
    }
    return QCoreApplication::exec();
}

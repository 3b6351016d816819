#include "core/Runner.h"

#include "core/CommandLine.h"
#include "core/Monitor.h"
#include "platform/Clock.h"
#include "platform/PosixLaunch.h"
#include "platform/ProcessControl.h"
#include "platform/ServiceNotifier.h"
#include "platform/SignalWatcher.h"

#include <QCoreApplication>
#include <QFile>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <vector>

namespace {

// The desktop's display went away: the toolkit says so and ends the process. The monitor starts
// over headless in the same process instead (its tasks are still its children, and the new image
// adopts them from the state file), so supervision goes on.
bool displayGone = false;
Monitor* running = nullptr;
QtMessageHandler toolkitHandler = nullptr;

void watchToolkitMessages(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (text.startsWith(QLatin1String("The X11 connection broke")))
        displayGone = true;
    if (toolkitHandler != nullptr)
        toolkitHandler(type, context, text);
}

void goOnHeadless() {
    // Without a state file the new image could not adopt the tasks and would start them twice:
    // the process ends then, as the toolkit wants, and the tasks run on.
    if (!displayGone || running == nullptr || running->ShuttingDown ||
        running->survival().statePath().isEmpty())
        return;
    running->survival().flush();
    QFile self(QStringLiteral("/proc/self/cmdline"));
    if (!self.open(QIODevice::ReadOnly))
        return;
    QList<QByteArray> words = self.readAll().split('\0');
    if (!words.isEmpty() && words.last().isEmpty())
        words.removeLast();
    std::vector<char*> argv;
    for (QByteArray& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        ::unsetenv(name);
    ::setenv("PROWLIX_DISPLAY_GONE", "1", 1);
    std::fflush(nullptr);
    // The new image lifts the limit again and keeps the one it was given for its tasks.
    restoreDescriptorLimit();
    ::execv("/proc/self/exe", argv.data());
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
    running = &monitor;
    toolkitHandler = qInstallMessageHandler(watchToolkitMessages);
    static const bool registered = std::atexit(goOnHeadless) == 0;
    (void)registered;
    SignalWatcher signalWatcher;
    QObject::connect(&signalWatcher, &SignalWatcher::stopRequested, &monitor,
                     [&monitor](int signalNumber) {
                         // A hand-over (the service manager's restart): the tasks stay running
                         // for the next monitor to adopt, whatever kill says.
                         if (signalNumber == SIGQUIT)
                             monitor.settings().KillOnExit = false;
                         monitor.ShutDownMonitor();
                     });
    for (const QString& argument : clsCommandLine::refusedArguments(arguments))
        monitor.noteAtStart(QStringLiteral("ERROR: Argument refused (") + argument +
                                QStringLiteral("): an argument cannot hold a double quote"),
                            true);
    for (const QString& notice : notices)
        monitor.noteAtStart(notice);
    if (attach)
        attach(monitor);
    monitor.startUp();
    if (monitor.refused())
        return 1;
    // Stopped by a signal while its tasks started: the event loop's end came before the loop.
    if (monitor.ShuttingDown) {
        running = nullptr;
        return 0;
    }
    ServiceNotifier::notify("READY=1");
    // Sent from the event loop, so a monitor that hangs stops sending and the manager restarts it.
    ClockTimer watchdog;
    if (const int every = ServiceNotifier::watchdogIntervalMs(); every > 0) {
        QObject::connect(&watchdog, &ClockTimer::timeout,
                         [] { ServiceNotifier::notify("WATCHDOG=1"); });
        watchdog.start(every);
    }
    const int status = QCoreApplication::exec();
    running = nullptr;
    return status;
}

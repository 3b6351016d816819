// Restarts at scale: the monitor (real processes, real launcher, in this process) with many tasks,
// a number of them killed at once, against a bare loop that spawns as many processes; and the
// restart latency of one task against a bare kill, reap and spawn, and against the same done from
// an event loop that does nothing else; and the launcher alone beside as many tasks. Prints min,
// median and max.
//
//   service_bench [--tasks 10000] [--kill 1000] [--rounds 20]
#include "core/Monitor.h"
#include "core/View.h"
#include "platform/Pidfd.h"
#include "platform/PosixProcessControl.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

double ms(qint64 ns) {
    return double(ns) / 1e6;
}

pid_t spawnSleep() {
    char name[] = "sleep", arg[] = "3600";
    char* argv[] = {name, arg, nullptr};
    pid_t pid = 0;
    ::posix_spawnp(&pid, "sleep", nullptr, nullptr, argv, environ);
    return pid;
}

// Runs the event loop as the monitor's own runs, blocked until something happens, until the
// condition holds: a waiter that spins takes the processor a killed task needs to exit on.
template <typename Condition> void waitFor(Condition done, int msToWait) {
    QTimer guard;
    guard.setSingleShot(true);
    guard.start(msToWait);
    while (!done() && guard.isActive())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

// The launcher, noting when each launch has returned: the replacement runs from then on, which is
// where a restart ends, as a bare spawn's does when posix_spawnp returns.
class TimedProcessControl : public PosixProcessControl {
  public:
    qint32 launchWith(const LaunchSpec& request) override {
        const qint32 pid = PosixProcessControl::launchWith(request);
        launchedNs = clock.nsecsElapsed();
        return pid;
    }
    QElapsedTimer clock;
    qint64 launchedNs = 0;
};

void settle(int msToWait) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < msToWait)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

struct Bed {
    explicit Bed(int tasks, bool output) {
        QByteArray ini;
        for (int i = 1; i <= tasks; ++i)
            ini += "start=sleep 3600,T" + QByteArray::number(i) + ",,True\n";
        if (output)
            ini += "OUTPUT_DIR=" + QFile::encodeName(dir.filePath("out")) + '\n';
        QFile file(dir.filePath("bench.ini"));
        file.open(QIODevice::WriteOnly);
        file.write(ini);
        file.close();
        monitor = std::make_unique<Monitor>(view, processes,
                                            QStringLiteral("/P:%1 /NOGUI /I:%2")
                                                .arg(41000 + ::getpid() % 20000)
                                                .arg(file.fileName()),
                                            ProgramInfo{dir.path(), QStringLiteral("prowlix")});
        monitor->quit = [] {};
        monitor->startUp();
        settle(300); // past the interval in which ends are left to the tick
    }
    ~Bed() {
        monitor->ShutDownMonitor(); // no more restarts; without kill it leaves the tasks alone
        for (int p = 1; p <= monitor->tasks().upperBound(); ++p)
            ::kill(monitor->tasks()[p].ProcessId, SIGKILL);
        settle(200);
    }
    quint64 restarts() const {
        quint64 sum = 0;
        for (int p = 1; p <= monitor->tasks().upperBound(); ++p)
            sum += monitor->tasks()[p].restartCount;
        return sum;
    }
    QTemporaryDir dir;
    HeadlessView view;
    TimedProcessControl processes;
    std::unique_ptr<Monitor> monitor;
};

void report(const char* what, std::vector<double> values) {
    std::sort(values.begin(), values.end());
    std::printf("%-44s min %8.3f  median %8.3f  max %8.3f ms\n", what, values.front(),
                values[values.size() / 2], values.back());
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int tasks = 10000, killed = 1000, rounds = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        const QByteArray option = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (option == "--tasks")
            tasks = value;
        else if (option == "--kill")
            killed = value;
        else if (option == "--rounds")
            rounds = value;
    }

    // Mass failure: the bare loop first, then the monitor.
    QElapsedTimer clock;
    std::vector<pid_t> bare;
    clock.start();
    for (int i = 0; i < killed; ++i)
        bare.push_back(spawnSleep());
    const qint64 bareNs = clock.nsecsElapsed();
    for (const pid_t pid : bare) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    {
        Bed bed(tasks, false);
        const int step = std::max(1, tasks / killed);
        const quint64 snapshots = bed.monitor->survival().writeCount();
        clock.start();
        for (int n = 0, p = 1; n < killed && p <= tasks; ++n, p += step)
            ::kill(bed.monitor->tasks()[p].ProcessId, SIGKILL);
        waitFor([&] { return bed.restarts() >= quint64(killed); }, 120000);
        const qint64 monitorNs = clock.nsecsElapsed();
        std::printf("%d tasks, %d killed at once: all restarted in %.1f ms; bare spawn loop of %d: "
                    "%.1f ms; ratio %.2f\n",
                    tasks, killed, ms(monitorNs), killed, ms(bareNs),
                    double(monitorNs) / double(bareNs));
        std::printf(
            "state file snapshots during the burst: %llu\n",
            static_cast<unsigned long long>(bed.monitor->survival().writeCount() - snapshots));
        // The launcher alone, with every task's descriptor held: what a restart costs beyond
        // the monitor's own bookkeeping.
        std::vector<qint32> launched;
        clock.start();
        for (int i = 0; i < killed; ++i)
            launched.push_back(bed.processes.launch(QStringLiteral("sleep 3600"), 4));
        const qint64 launcherNs = clock.nsecsElapsed();
        for (const qint32 pid : launched)
            ::kill(pid, SIGKILL);
        std::printf("launcher alone, %d launches beside %d tasks: %.1f ms; ratio %.2f\n", killed,
                    tasks, ms(launcherNs), double(launcherNs) / double(bareNs));
    }

    // One task: kill, notice, restart; against kill, reap, spawn. Each victim has run as long as
    // the monitor's task runs between its rounds: one killed right after its exec costs the
    // kernel less to take down.
    std::vector<double> bareRestart;
    pid_t child = spawnSleep();
    for (int r = 0; r < rounds; ++r) {
        ::usleep(150 * 1000);
        clock.start();
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        child = spawnSleep();
        bareRestart.push_back(ms(clock.nsecsElapsed()));
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    report("bare kill, reap and spawn", bareRestart);

    // The same from an event loop that does nothing else: the process descriptor wakes it, and
    // the handler reaps and spawns. What waking through an event loop costs by itself.
    std::vector<double> loopRestart;
    child = spawnSleep();
    for (int r = 0; r < rounds; ++r) {
        const int pidfd = openPidfd(child);
        QSocketNotifier notifier(pidfd, QSocketNotifier::Read);
        bool done = false;
        QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
            notifier.setEnabled(false);
            ::waitpid(child, nullptr, 0);
            child = spawnSleep();
            loopRestart.push_back(ms(clock.nsecsElapsed()));
            done = true;
        });
        ::usleep(150 * 1000);
        clock.start();
        ::kill(child, SIGKILL);
        waitFor([&] { return done; }, 5000);
        ::close(pidfd);
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    report("the same from an event loop", loopRestart);
    for (const bool output : {false, true}) {
        Bed bed(1, output);
        std::vector<double> latency, handled;
        for (int r = 0; r < rounds; ++r) {
            const qint32 pid = bed.monitor->tasks()[1].ProcessId;
            bed.processes.clock.start();
            ::kill(pid, SIGKILL);
            waitFor([&] { return bed.monitor->tasks()[1].ProcessId != pid; }, 5000);
            handled.push_back(ms(bed.processes.clock.nsecsElapsed()));
            latency.push_back(ms(bed.processes.launchedNs));
            settle(150);
        }
        report(output ? "restart latency, one task, OUTPUT_DIR on" : "restart latency, one task",
               latency);
        report(output ? "  and the failure handled, OUTPUT_DIR on" : "  and the failure handled",
               handled);
    }
    return 0;
}

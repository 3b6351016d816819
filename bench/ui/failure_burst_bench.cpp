// Key-to-reaction benchmark: the desktop monitor with 300 tasks (`sleep 3600`, restarted
// automatically), 100 of which are killed together with SIGKILL, while arrow keys go to the Up
// list. The keys come from a thread of their own, a few milliseconds after each answer, and are
// queued to the main window as the platform queues input, so each one waits behind whatever the
// event loop is doing. A key's reaction is the selection moved and the details window refilled.
// A burst lasts until every killed task runs again. Prints min, median and max over the keys
// during the bursts, over the worst key of each burst, over keys with no failure, and the
// length of the bursts.
//
//   failure_burst_bench [bursts] [tasks] [killed]
//
// Runs on the offscreen platform unless QT_QPA_PLATFORM is set; `tests/ui/on-x11.sh
// failure_burst_bench` runs it on Xvfb with openbox. PROWLIX_BENCH_SLICE_MS sets how long the
// failure handling may work before it lets events run (1000 handles a burst in one go).
#include "core/Monitor.h"
#include "platform/PosixProcessControl.h"
#include "ui/DesktopView.h"
#include "ui/frmMain.h"
#include "ui/frmSplash.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QInputDevice>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QListView>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <functional>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace {

// Runs events until the condition holds or the time is up.
bool waitUntil(const std::function<bool()>& condition, int milliseconds = 30000) {
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > milliseconds)
            return false;
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }
    return true;
}

void report(const char* name, std::vector<double> values) {
    std::sort(values.begin(), values.end());
    std::printf("| %s (%zu) | %.1f ms | %.1f ms | %.1f ms |\n", name, values.size(), values.front(),
                values[values.size() / 2], values.back());
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int bursts = argc > 1 ? std::atoi(argv[1]) : 5;
    const int taskCount = argc > 2 ? std::atoi(argv[2]) : 300;
    const int killed = argc > 3 ? std::atoi(argv[3]) : 100;

    QTemporaryDir dir;
    QFile ini(dir.filePath(QStringLiteral("burst.ini")));
    ini.open(QIODevice::WriteOnly);
    for (int i = 1; i <= taskCount; ++i)
        ini.write(QStringLiteral("START=sleep 3600,Task %1,,True\n").arg(i).toUtf8());
    ini.close();
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const QString port = QString::number(probe.serverPort());
    probe.close();

    PosixProcessControl processes;
    DesktopView view(true);
    Monitor monitor(view, processes,
                    QStringLiteral("/P:") + port + QStringLiteral(" /I:") + ini.fileName(),
                    ProgramInfo{dir.path(), QStringLiteral("prowlix")});
    monitor.quit = [] {};
    // Failures are handled in slices that let events run between them; a long slice gives the
    // handling of a whole burst in one go, for comparison.
    if (qEnvironmentVariableIsSet("PROWLIX_BENCH_SLICE_MS")) {
        const int ms = qEnvironmentVariableIntValue("PROWLIX_BENCH_SLICE_MS");
        monitor.taskFunctions().setSliceMs(ms);
        processes.setSliceMs(ms);
    }
    view.attach(monitor.model());
    monitor.startUp();
    frmMain& window = *view.mainWindow();
    QListView* list = window.List1;
    if (view.splash() != nullptr)
        view.splash()->close();
    window.bringBack();
    list->setFocus();
    if (!waitUntil([&] {
            return monitor.upList().rowCount() == taskCount && list->hasFocus() &&
                   window.isActiveWindow();
        })) {
        std::fprintf(stderr, "the tasks did not start or the window did not become active\n");
        return 1;
    }
    list->setCurrentIndex(monitor.upList().index(taskCount / 2));

    // The keys come from a thread of their own, as input comes from the display whatever the
    // event loop is doing; the reaction is the key's selection handled, the details window
    // included (connected last, so it runs after the window's own handler).
    using Clock = std::chrono::steady_clock;
    std::mutex mutex;
    std::condition_variable answered;
    bool waiting = false;  // a key sent and not yet answered
    bool sending = false;  // keys wanted now
    bool finished = false; // the sender ends
    Clock::time_point sentAt;
    std::vector<double>* samples = nullptr;
    bool keyDelivered = false; // on the event loop's thread only
    struct KeyWatch final : QObject {
        bool* delivered = nullptr;
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::KeyPress)
                *delivered = true;
            return false;
        }
    } watch;
    watch.delivered = &keyDelivered;
    list->installEventFilter(&watch);
    QObject::connect(list->selectionModel(), &QItemSelectionModel::selectionChanged, [&] {
        if (!keyDelivered)
            return;
        keyDelivered = false;
        const Clock::time_point now = Clock::now();
        {
            const std::lock_guard<std::mutex> lock(mutex);
            if (!waiting)
                return;
            samples->push_back(std::chrono::duration<double, std::milli>(now - sentAt).count());
            waiting = false;
        }
        answered.notify_all();
        // The selected row gone, or at an end: back to the middle, so every key moves it.
        const int row = list->currentIndex().row();
        if (row < 1 || row >= monitor.upList().rowCount() - 1)
            QTimer::singleShot(0, list, [&] {
                list->setCurrentIndex(monitor.upList().index(monitor.upList().rowCount() / 2));
            });
    });
    QWindow* target = window.windowHandle();
    // Key events name the keyboard they come from, made on first use; made here, in its thread.
    QInputDevice::primaryKeyboard();
    std::thread sender([&] {
        std::mt19937 random(25);
        std::uniform_int_distribution<int> pause(1, 8);
        bool down = true;
        std::unique_lock<std::mutex> lock(mutex);
        while (true) {
            answered.wait(lock, [&] { return finished || (sending && !waiting); });
            if (finished)
                return;
            // Up and down in turn keeps the selection in the middle of the list.
            const Qt::Key key = down ? Qt::Key_Down : Qt::Key_Up;
            down = !down;
            waiting = true;
            sentAt = Clock::now();
            QCoreApplication::postEvent(target, new QKeyEvent(QEvent::KeyPress, key, {}));
            QCoreApplication::postEvent(target, new QKeyEvent(QEvent::KeyRelease, key, {}));
            answered.wait(lock, [&] { return finished || !waiting; });
            // Keys at varied moments of the burst, a few milliseconds apart.
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
            lock.lock();
        }
    });
    // Keys into the samples while the condition holds; the last key is answered before it ends.
    const auto keysWhile = [&](std::vector<double>& into, const std::function<bool()>& until) {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            samples = &into;
            sending = true;
        }
        answered.notify_all();
        const bool done = waitUntil(until);
        {
            const std::lock_guard<std::mutex> lock(mutex);
            sending = false;
        }
        waitUntil([&] {
            const std::lock_guard<std::mutex> lock(mutex);
            return !waiting;
        });
        return done;
    };

    std::vector<double> all, worst, quiet, burstTimes;
    QElapsedTimer quietClock;
    quietClock.start();
    keysWhile(quiet, [&] { return quietClock.elapsed() > 500; });
    for (int burst = 0; burst < bursts; ++burst) {
        // Spread over the list: every third task of 300.
        std::vector<int> victims;
        std::vector<qint64> pids;
        for (int p = 1; p <= monitor.tasks().upperBound() && static_cast<int>(pids.size()) < killed;
             p += std::max(1, taskCount / killed)) {
            victims.push_back(p);
            pids.push_back(monitor.tasks()[p].ProcessId);
        }
        // Over once every killed task runs again.
        const auto settled = [&] {
            for (size_t i = 0; i < victims.size(); ++i) {
                const TaskRecord& task = monitor.tasks()[victims[i]];
                if (!task.IsUp || task.ProcessId == pids[i])
                    return false;
            }
            return monitor.upList().rowCount() == taskCount;
        };
        QElapsedTimer burstClock;
        burstClock.start();
        for (const qint64 pid : pids)
            ::kill(static_cast<pid_t>(pid), SIGKILL);
        std::vector<double> keys;
        if (!keysWhile(keys, settled)) {
            std::fprintf(stderr, "the killed tasks did not all come back within 30 s\n");
            return 1;
        }
        burstTimes.push_back(burstClock.nsecsElapsed() / 1e6);
        all.insert(all.end(), keys.begin(), keys.end());
        worst.push_back(keys.empty() ? 0 : *std::max_element(keys.begin(), keys.end()));
        // A quiet moment between bursts.
        QElapsedTimer rest;
        rest.start();
        waitUntil([&] { return rest.elapsed() > 300; });
    }
    {
        const std::lock_guard<std::mutex> lock(mutex);
        finished = true;
    }
    answered.notify_all();
    sender.join();

    std::printf("platform %s, %d tasks, %d killed together per burst, %d bursts\n",
                qPrintable(QGuiApplication::platformName()), taskCount, killed, bursts);
    std::printf("| | min | median | max |\n| --- | --- | --- | --- |\n");
    report("Arrow key to selection moved, during the bursts", all);
    report("Slowest key of each burst", worst);
    report("Arrow key to selection moved, no failures", quiet);
    report("Kills until every task is back in the Up list", burstTimes);

    for (int p = 1; p <= monitor.tasks().upperBound(); ++p)
        ::kill(static_cast<pid_t>(monitor.tasks()[p].ProcessId), SIGKILL);
    return 0;
}

#include "core/Monitor.h"

#include "base/RuntimeError.h"
#include "core/AlertLines.h"
#include "core/ConfigINI.h"
#include "core/Conversions.h"
#include "core/LogFiles.h"
#include "core/MailSettings.h"
#include "core/View.h"
#include "log/Guarded.h"
#include "log/SettingUnusable.h"
#include "platform/EventPump.h"
#include "platform/ProcessControl.h"
#include "platform/RuntimeDirectory.h"
#include "platform/ServiceNotifier.h"
#include "platform/Version.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <cstdio>
#include <cstdlib>
#include <exception>

namespace {
// The INI file's kill value: TRUE or FALSE in any case; anything else leaves the option's choice.
bool killSetting(const QString& value, bool current) {
    const QString upper = value.toUpper();
    return upper == QLatin1String("TRUE") || (upper != QLatin1String("FALSE") && current);
}
} // namespace

Monitor::Monitor(View& view, ProcessControl& processes, const QString& argumentText,
                 ProgramInfo program, QObject* parent)
    : QObject(parent), view_(view), processes_(processes), argumentText_(argumentText),
      log_(program, &view), taskFunctions_(tasks_, upList_, downList_, log_, processes),
      failureAlert_(tasks_, mail_, log_), logRetention_(log_) {
    quit = [] { QCoreApplication::exit(0); };
    Timer1_.setInterval(supervisionTickMs);
    // The tick's pass goes in slices: a burst of failures lets input and repaints run between
    // them. Every other sweep (before an answer, at the end of start-up) finishes its pass.
    connect(&Timer1_, &QTimer::timeout, this, [this] {
        ++tickCount_;
        guarded(log_, [this] { taskFunctions_.sweepInSlices(); });
        updateTick();
    });
    // Immediate detection handles the ended task alone, as the sweep would, and stops with the
    // tick: once the kill step has disabled the tick, tasks closing on request are no failures.
    connect(&processes_, &ProcessControl::processEnded, this, [this](qint32 pid) {
        if (!tickEnabled_)
            return;
        guarded(log_, [this, pid] { taskFunctions_.handleEnd(pid); });
        // A launch has armed the tick already; otherwise it may sleep again.
        if (!Timer1_.isActive())
            updateTick();
    });
    // A launch brings back what only the tick can see (a task in its first interval, or one
    // without a descriptor): the timer runs again before the launching handler returns. No walk
    // of the table here: the tick decides when it may sleep again.
    connect(&taskFunctions_, &TaskFunctions::launched, this, [this] {
        if (tickEnabled_ && !Timer1_.isActive())
            Timer1_.start();
    });
    // The answer is true when it is given: a sweep first finds any task that ended while the
    // event loop stood still, and a failure closes the port before the waiting clients are served.
    statusPort_.mayAnswer = [this] {
        if (ShuttingDown)
            return false;
        if (tickEnabled_) {
            processes_.lookAgain();
            Timer1_Timer();
        }
        return statusPort_.isListening();
    };
    connect(&statusPort_, &StatusPort::listeningAgain, this, &Monitor::announcePort);
    // What failure handling finds goes to the tray, the status port and the alert.
    connect(&taskFunctions_, &TaskFunctions::taskFailed, this, [this](int p) {
        view_.NotifyON();
        statusPort_.close();
        failureAlert_.SendFailureAlert(p, failureAlertLines(tasks_[p]));
    });
    connect(&taskFunctions_, &TaskFunctions::taskUnhealthy, this, [this] {
        view_.NotifyON();
        statusPort_.close();
    });
    connect(&taskFunctions_, &TaskFunctions::taskStopped, this, [this] { statusPort_.close(); });
    connect(&taskFunctions_, &TaskFunctions::allUp, this, [this](bool portMayOpen) {
        view_.NotifyOFF();
        if (portMayOpen)
            guarded(log_, [this] { openStatusListener(); });
    });
    Timer1_.start();
}

Monitor::~Monitor() = default;

void Monitor::startUp() {
    view_.prepareMainWindow();
    // Any failure ends start-up; it must not escape into Qt.
    guarded(log_, [this] { runStartUp(); });
    // Refused, or stopped by a signal while the tasks started: nothing more is set up.
    if (refused_ || ShuttingDown)
        return;
    // Tasks later in the INI file never started: the port stays closed for good.
    if (!startUpEnded_)
        statusPortClosed(QStringLiteral("start-up stopped at an error"));
    survival_.startUpEnded();
    // Settings read before an error still count: old files go even when start-up stopped early.
    logRetention_.start(settings_.GetINIValue(QStringLiteral("LOG_KEEP_DAYS")));
    // The tasks that did start are supervised, so they can be steered too.
    control_.start(
        settings_.GetINIValue(QStringLiteral("CONTROL")),
        settings_.GetINIValue(QStringLiteral("CONTROL_SOCKET")),
        settings_.GetINIValue(QStringLiteral("CONTROL_GROUP")),
        RuntimeDirectory::configurationOf(
            commandLine_.CommandValue(QStringLiteral("I"), argumentText_), argumentText_));
    view_.startUpEnded();
}

void Monitor::runStartUp() {
    tasks_.reset();
    view_.showTray();
    settings_.KillOnExit = commandLine_.CommandFlag(QStringLiteral("KILL"), argumentText_);
    view_.setTitle(QString::fromLatin1(Version::productName));

    settleLogDirectory(commandLine_.CommandValue(QStringLiteral("D"), argumentText_), log_, mail_);
    // One monitor per configuration, decided before anything starts; the one refused leaves a
    // single line, so the running monitor's entries are not mistaken for a restart.
    qint64 holder = 0;
    if (!survival_.begin(
            RuntimeDirectory::configurationOf(
                commandLine_.CommandValue(QStringLiteral("I"), argumentText_), argumentText_),
            &holder)) {
        const QString text = QStringLiteral("REFUSED: another monitor (process id ") +
                             QString::number(holder) +
                             QStringLiteral(") runs this configuration; nothing started");
        log_.LogActivity = true;
        log_.WriteLog(text);
        std::fprintf(stderr, "Prowlix: %s\n", qPrintable(text.mid(9)));
        std::fflush(stderr);
        refused_ = true;
        return;
    }
    log_.LogActivity = true;
    log_.Silent = false;
    log_.WriteLog(QStringLiteral("SYSTEM STARTED (") + argumentText_ + QLatin1Char(')'));
    for (const QString& note : std::as_const(startNotes_))
        log_.WriteLog(note);
    const bool startedOver = qEnvironmentVariableIsSet("PROWLIX_DISPLAY_GONE");
    if (startedOver) {
        // Started over by the monitor itself when its display went away; its tasks are adopted.
        qunsetenv("PROWLIX_DISPLAY_GONE");
        const QString text = QStringLiteral("WARNING: the display is gone; going on headless");
        log_.WriteLog(text);
        std::fprintf(stderr, "Prowlix: %s\n", qPrintable(text.mid(9)));
    }
    if (commandLine_.CommandValue(QStringLiteral("L"), argumentText_).toUpper() ==
        QLatin1String("OFF"))
        log_.LogActivity = false;
    survival_.adoptFromPredecessor(startedOver);

    settings_.StatusPort = 180;
    const double commandLinePort =
        Conversions::Val(commandLine_.CommandValue(QStringLiteral("P"), argumentText_));
    if (commandLinePort > 0)
        settings_.StatusPort = commandLinePort;

    applyWindowState(commandLine_.CommandValue(QStringLiteral("W"), argumentText_));

    const QString iniPath = commandLine_.CommandValue(QStringLiteral("I"), argumentText_);
    if (iniPath.isEmpty()) {
        startCommandLinePrograms();
    } else if (const QString problem = ConfigINI::fileProblem(iniPath); !problem.isEmpty()) {
        // A configuration that cannot be read is no "all up": the status port stays closed.
        iniUnusable_ = true;
        view_.showMessage(problem);
        log_.WriteLog(problem);
    } else {
        // A stop signal may come while the file's tasks are starting: its kill line counts
        // from the first task on.
        settings_.KillOnExit = killSetting(ConfigINI::peekValue(iniPath, QStringLiteral("kill")),
                                           settings_.KillOnExit);
        ConfigINI(settings_, taskFunctions_, mail_, log_).LoadINIFile(iniPath);
        MailSettings::apply(settings_, mail_, failureAlert_, log_);
        const double filePort = Conversions::Val(settings_.GetINIValue(QStringLiteral("port")));
        if (filePort > 0)
            settings_.StatusPort = filePort;
        settings_.KillOnExit =
            killSetting(settings_.GetINIValue(QStringLiteral("kill")), settings_.KillOnExit);
        applyWindowState(settings_.GetINIValue(QStringLiteral("windowstate")));
    }
    if (ShuttingDown)
        return;
    view_.nameConfiguration(iniPath, settings_.GetINIValue(QStringLiteral("TITLE")));

    taskFunctions_.configureRestartLimit(settings_.GetINIValue(QStringLiteral("RESTART_LIMIT")));
    taskFunctions_.configureRestartDelay(settings_.GetINIValue(QStringLiteral("RESTART_DELAY")));
    configureStopTimeout(settings_.GetINIValue(QStringLiteral("STOP_TIMEOUT")));
    view_.setLoggingChecked(log_.LogActivity);
    view_.setStatusLine(QStringLiteral("Items: ") + QString::number(tasks_.upperBound()) +
                        QStringLiteral("   Port: ") +
                        Conversions::numberText(settings_.StatusPort));
    statusPort_.setPort(settings_.StatusPort);
    metrics_.start(settings_.GetINIValue(QStringLiteral("METRICS_PORT")));
    endStartUp();
}

void Monitor::endStartUp() {
    startUpEnded_ = true;
    if (iniUnusable_) {
        statusPortClosed(QStringLiteral("the INI file could not be read"));
        return;
    }
    // Reading the INI file let events run: an end not seen yet is handled before the port opens,
    // and only a table whose every task is up opens it.
    if (tickEnabled_)
        Timer1_Timer();
    portMayOpen_ = true;
    const int bound = tasks_.upperBound();
    for (int p = 1; p <= bound; ++p) {
        if (!tasks_[p].IsUp) {
            statusPortClosed(tasks_[p].TaskName + QStringLiteral(" (") + tasks_[p].PathAndFile +
                             QStringLiteral(") is down"));
            return;
        }
    }
    if (taskFunctions_.allClearPending()) {
        // The pending all-clear of a restart opens it.
        statusPortClosed(QStringLiteral("waiting for a restarted task to stay up"));
        return;
    }
    taskFunctions_.SignalAllUp();
    if (portHeldClosed_)
        statusPortClosed(QStringLiteral("an argument of the command line was refused"));
    else if (const int failed = taskFunctions_.startFailures(); failed > 0)
        statusPortClosed(QString::number(failed) +
                         (failed == 1 ? QStringLiteral(" task could not be started")
                                      : QStringLiteral(" tasks could not be started")));
}

void Monitor::statusPortClosed(const QString& reason) {
    log_.WriteLog(QStringLiteral("STATUS PORT CLOSED (") +
                  Conversions::numberText(settings_.StatusPort) + QStringLiteral("): ") + reason);
}

void Monitor::announcePort() {
    if (portAnnounced_)
        return;
    portAnnounced_ = true;
    log_.WriteLog(QStringLiteral("PORT: ") + Conversions::numberText(settings_.StatusPort));
}

void Monitor::noteAtStart(const QString& event, bool keepsPortClosed) {
    startNotes_.append(event);
    portHeldClosed_ = portHeldClosed_ || keepsPortClosed;
}

void Monitor::configureStopTimeout(const QString& value) {
    if (value.trimmed().isEmpty())
        return;
    bool ok = false;
    const double seconds = value.trimmed().toDouble(&ok);
    // An hour is the longest a shutdown may be kept waiting.
    if (!ok || !(seconds > 0) || seconds > 3600) {
        log_.WriteLog(settingUnusable(QStringLiteral("STOP_TIMEOUT"), value,
                                      QStringLiteral("expected a positive number of seconds up to "
                                                     "3600"),
                                      QStringLiteral("tasks are only asked to close")));
        return;
    }
    stopTimeoutMs_ = std::max<qint64>(1, qRound64(seconds * 1000));
    processes_.setStopTimeout(stopTimeoutMs_);
    taskFunctions_.setStopTimeout(stopTimeoutMs_);
}

void Monitor::startCommandLinePrograms() {
    // The count is taken once: the walk sees the tokens as they were when it began.
    const QStringList tokens = commandLine_.split(argumentText_);
    for (const QString& token : tokens) {
        if (clsCommandLine::isOption(token))
            continue;
        QString name;
        qint16 mode = 0;
        taskFunctions_.StartTask(name, token, mode, false);
    }
}

void Monitor::applyWindowState(const QString& value) {
    const QString upper = value.toUpper();
    if (upper == QLatin1String("MIN"))
        view_.applyWindowState(View::WindowState::Hidden);
    else if (upper == QLatin1String("MAX"))
        view_.applyWindowState(View::WindowState::Maximised);
    else
        view_.applyWindowState(View::WindowState::Normal);
}

void Monitor::Timer1_Timer() {
    // The tick is an event handler: an error is logged and the next tick tries again.
    guarded(log_, [this] { taskFunctions_.sweep(); });
    updateTick();
}

void Monitor::updateTick() {
    if (!tickEnabled_)
        return;
    if (taskFunctions_.needsTick()) {
        if (!Timer1_.isActive())
            Timer1_.start();
        return;
    }
    // Sleeping is safe: every task that is up has a process descriptor that wakes the event loop
    // when it ends, is past the interval in which an end is left to the tick, and no all-clear
    // waits; whatever brings such a case back (a launch) arms the timer again at once.
    Timer1_.stop();
}

void Monitor::setTickEnabled(bool on) {
    tickEnabled_ = on;
    if (on)
        updateTick();
    else
        Timer1_.stop();
}

bool Monitor::closeRule(CloseReason reason) {
    if (reason == CloseReason::SystemShutdown || reason == CloseReason::TaskManager) {
        ShutDownMonitor();
        return true;
    }
    return CloseApp;
}

void Monitor::ShutDownMonitor() {
    if (ShuttingDown)
        return;
    ShuttingDown = true;
    ServiceNotifier::notify("STOPPING=1");
    CloseApp = true;
    log_.LogActivity = true;
    failureAlert_.shutDown();
    control_.close(); // no control request acts while the monitor stops
    log_.WriteLog(QStringLiteral("SYSTEM STOPPED (") + argumentText_ + QLatin1Char(')'));
    // No failure is handled after the last event: tasks closing on request are none.
    taskFunctions_.beginShutdown();
    setTickEnabled(false);
    if (settings_.KillOnExit) {
        const int bound = tasks_.upperBound();
        for (int p = 1; p <= bound; ++p) {
            const TaskRecord& task = tasks_[p];
            if (task.IsUp && taskFunctions_.IsTaskProcessAlive(task.ProcessId).isRunning()) {
                processes_.requestClose(task.ProcessId);
                EventPump::letEventsRun();
            }
        }
        // With STOP_TIMEOUT the tasks get that long to close, events running meanwhile; then what
        // is left is forced, since nobody will be here to do it later.
        if (stopTimeoutMs_ > 0) {
            QEventLoop wait;
            QDeadlineTimer deadline(stopTimeoutMs_ + 1000);
            while (processes_.closesPending() > 0 && !deadline.hasExpired())
                wait.processEvents(QEventLoop::WaitForMoreEvents);
            processes_.finishCloses();
        }
    }
    survival_.shutDown(settings_.KillOnExit);
    view_.unloadAll();
    if (quit)
        quit();
}

void Monitor::openStatusListener() {
    // Before start-up has ended, without a configuration, or with an argument refused,
    // "SERVICES UP" would not be true.
    if (!portMayOpen_ || portHeldClosed_)
        return;
    try {
        statusPort_.listen();
    } catch (const RuntimeError&) {
        // Said again once a retry gets the port.
        if (!statusPort_.isListening())
            portAnnounced_ = false;
        throw;
    }
    announcePort();
}

#include "Monitor.h"

#include "ConfigINI.h"
#include "Conversions.h"
#include "EventPump.h"
#include "LogFiles.h"
#include "MailSettings.h"
#include "ProcessControl.h"
#include "RuntimeError.h"
#include "ServiceNotifier.h"
#include "Version.h"
#include "View.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <cstdio>
#include <cstdlib>
#include <exception>

Monitor::Monitor(View& view, ProcessControl& processes, const QString& argumentText,
                 ProgramInfo program, QObject* parent)
    : QObject(parent), view_(view), processes_(processes), argumentText_(argumentText),
      log_(program, &view), taskFunctions_(tasks_, upList_, downList_, log_, processes, *this),
      failureAlert_(tasks_, mail_, log_), logRetention_(log_) {
    quit = [] {
        std::fflush(nullptr);
        std::exit(0);
    };
    Timer1_.setInterval(100);
    connect(&Timer1_, &QTimer::timeout, this, [this] {
        ++tickCount_;
        Timer1_Timer();
    });
    // Immediate detection handles the ended task alone, as the sweep would, and stops with the
    // tick: once the kill step has disabled the tick, tasks closing on request are no failures.
    connect(&processes_, &ProcessControl::processEnded, this, [this](qint32 pid) {
        if (!tickEnabled_)
            return;
        try {
            taskFunctions_.handleEnd(pid);
        } catch (const RuntimeError& error) {
            log_.WriteLog(error.description());
        }
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
    Timer1_.start();
}

Monitor::~Monitor() = default;

void Monitor::startUp() {
    view_.prepareMainWindow();
    try {
        runStartUp();
    } catch (const RuntimeError& error) {
        log_.WriteLog(error.description());
    } catch (const std::exception& error) {
        // Any other failure ends start-up the same way; it must not escape into Qt.
        log_.WriteLog(QString::fromLocal8Bit(error.what()));
    }
    // Settings read before an error still count: old files go even when start-up stopped early.
    logRetention_.start(settings_.GetINIValue(QStringLiteral("LOG_KEEP_DAYS")));
    view_.startUpEnded();
}

void Monitor::runStartUp() {
    tasks_.reset();
    view_.showTray();
    settings_.KillOnExit = commandLine_.CommandFlag(QStringLiteral("KILL"), argumentText_);
    view_.setTitle(QString::fromLatin1(Version::productName));

    settleLogDirectory(commandLine_.CommandValue(QStringLiteral("D"), argumentText_), log_, mail_);
    log_.LogActivity = true;
    log_.Silent = false;
    log_.WriteLog(QStringLiteral("SYSTEM STARTED (") + argumentText_ + QLatin1Char(')'));
    if (commandLine_.CommandValue(QStringLiteral("L"), argumentText_).toUpper() ==
        QLatin1String("OFF"))
        log_.LogActivity = false;

    settings_.StatusPort = 180;
    const double commandLinePort =
        Conversions::Val(commandLine_.CommandValue(QStringLiteral("P"), argumentText_));
    if (commandLinePort > 0)
        settings_.StatusPort = commandLinePort;

    applyWindowState(commandLine_.CommandValue(QStringLiteral("W"), argumentText_));

    const QString iniPath = commandLine_.CommandValue(QStringLiteral("I"), argumentText_);
    if (iniPath.isEmpty()) {
        startCommandLinePrograms();
    } else if (ConfigINI::fileExists(iniPath)) {
        ConfigINI(settings_, taskFunctions_, mail_, log_).LoadINIFile(iniPath);
        MailSettings::apply(settings_, mail_, failureAlert_, log_);
        const double filePort = Conversions::Val(settings_.GetINIValue(QStringLiteral("port")));
        if (filePort > 0)
            settings_.StatusPort = filePort;
        const QString kill = settings_.GetINIValue(QStringLiteral("kill")).toUpper();
        if (kill == QLatin1String("TRUE"))
            settings_.KillOnExit = true;
        else if (kill == QLatin1String("FALSE"))
            settings_.KillOnExit = false;
        applyWindowState(settings_.GetINIValue(QStringLiteral("windowstate")));
    } else {
        const QString text =
            QStringLiteral("Error: INI file (") + iniPath + QStringLiteral(") not found");
        view_.showMessage(text);
        log_.WriteLog(text);
    }

    taskFunctions_.configureRestartLimit(settings_.GetINIValue(QStringLiteral("RESTART_LIMIT")));
    taskFunctions_.configureRestartDelay(settings_.GetINIValue(QStringLiteral("RESTART_DELAY")));
    configureStopTimeout(settings_.GetINIValue(QStringLiteral("STOP_TIMEOUT")));
    view_.setLoggingChecked(log_.LogActivity);
    view_.setStatusLine(QStringLiteral("Items: ") + QString::number(tasks_.upperBound()) +
                        QStringLiteral("   Port: ") +
                        Conversions::numberText(settings_.StatusPort));
    statusPort_.setPort(settings_.StatusPort);
    metrics_.start(settings_.GetINIValue(QStringLiteral("METRICS_PORT")));
    taskFunctions_.SignalAllUp();
    log_.WriteLog(QStringLiteral("PORT: ") + Conversions::numberText(settings_.StatusPort));
}

void Monitor::configureStopTimeout(const QString& value) {
    if (value.trimmed().isEmpty())
        return;
    bool ok = false;
    const double seconds = value.trimmed().toDouble(&ok);
    // An hour is the longest a shutdown may be kept waiting.
    if (!ok || !(seconds > 0) || seconds > 3600) {
        log_.WriteLog(QStringLiteral("ERROR: STOP_TIMEOUT=") + value +
                      QStringLiteral(" ignored: expected a positive number of seconds up to 3600; "
                                     "tasks are only asked to close"));
        return;
    }
    stopTimeoutMs_ = std::max<qint64>(1, qRound64(seconds * 1000));
    processes_.setStopTimeout(stopTimeoutMs_);
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
    try {
        taskFunctions_.sweep();
    } catch (const RuntimeError& error) {
        log_.WriteLog(error.description());
    }
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
    log_.WriteLog(QStringLiteral("SYSTEM STOPPED (") + argumentText_ + QLatin1Char(')'));
    if (settings_.KillOnExit) {
        setTickEnabled(false);
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
    view_.unloadAll();
    if (quit)
        quit();
}

void Monitor::NotifyON() {
    view_.NotifyON();
}
void Monitor::NotifyOFF() {
    view_.NotifyOFF();
}
void Monitor::closeStatusListener() {
    statusPort_.close();
}
void Monitor::openStatusListener() {
    statusPort_.listen();
}
void Monitor::SendFailureAlert(int p) {
    failureAlert_.SendFailureAlert(p);
}

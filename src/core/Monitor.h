#pragma once

#include "control/ControlServer.h"
#include "core/AppSettings.h"
#include "core/CommandLine.h"
#include "core/FailureAlert.h"
#include "core/MonitorModel.h"
#include "core/Survival.h"
#include "log/Log.h"
#include "log/LogRetention.h"
#include "mail/SMTPClient.h"
#include "metrics/MetricsPort.h"
#include "statusport/StatusPort.h"
#include "tasks/TaskFunctions.h"
#include "tasks/TaskList.h"
#include "tasks/TaskTable.h"

#include <QObject>
#include <QTimer>
#include <functional>

class ProcessControl;
class View;

// The life of the monitor: start-up in its fixed order, the 100 ms supervision tick, the close
// rule and shutdown. Owns the engine's process-wide objects; the view is supplied by the mode.
class Monitor final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Monitor)

  public:
    using CloseReason = ::CloseReason;

    Monitor(View& view, ProcessControl& processes, const QString& argumentText,
            ProgramInfo program = ProgramInfo::current(), QObject* parent = nullptr);
    ~Monitor() override;

    void startUp();                     // the main window's load handler
    void Timer1_Timer();                // the supervision tick
    bool closeRule(CloseReason reason); // true when the close may go ahead
    void ShutDownMonitor();

    // An event found before the log existed (a refused argument, an unusable display), logged
    // right after "SYSTEM STARTED (". One that keepsPortClosed keeps the status port closed for
    // the run: what was refused may have been a task, and "SERVICES UP" would hide it.
    void noteAtStart(const QString& event, bool keepsPortClosed = false);

    // Ends the event loop after shutdown (the process then returns from main); tests replace it.
    std::function<void()> quit;

    bool CloseApp = false;
    bool ShuttingDown = false;

    AppSettings& settings() { return settings_; }
    Log& eventLog() { return log_; }
    TaskTable& tasks() { return tasks_; }
    TaskList& upList() { return upList_; }
    TaskList& downList() { return downList_; }
    TaskFunctions& taskFunctions() { return taskFunctions_; }
    StatusPort& statusPort() { return statusPort_; }
    FailureAlert& failureAlert() { return failureAlert_; }
    QTimer& Timer1() { return Timer1_; }
    // Ticks that Timer1 has delivered, sweeps for ended processes aside.
    quint64 tickCount() const { return tickCount_; }
    // Another monitor runs this configuration: start-up stopped before anything started.
    bool refused() const { return refused_; }
    // What the desktop sees of it.
    MonitorModel& model() { return model_; }
    Survival& survival() { return survival_; }

  private:
    void runStartUp();
    void endStartUp(); // opens the status port when every task is up, or says why not
    void statusPortClosed(const QString& reason);
    void announcePort(); // "PORT: ", once the port listens
    void startCommandLinePrograms();
    void applyWindowState(const QString& value);
    void configureStopTimeout(const QString& value);
    void updateTick(); // runs Timer1 while a sweep needs it, stops it otherwise

    // Whether the tick is switched on (shutdown switches it off). While it is on, Timer1 runs only
    // while a sweep could find what the process descriptors cannot.
    void setTickEnabled(bool on);
    void openStatusListener(); // when every task is up, and "SERVICES UP" would be true

    View& view_;
    ProcessControl& processes_;
    QString argumentText_;
    clsCommandLine commandLine_;
    AppSettings settings_;
    Log log_;
    TaskTable tasks_;
    TaskList upList_;
    TaskList downList_;
    StatusPort statusPort_;
    SMTPClient mail_;
    TaskFunctions taskFunctions_;
    FailureAlert failureAlert_;
    LogRetention logRetention_;
    QTimer Timer1_;
    MetricsPort metrics_{tasks_,
                         [this] {
                             return MetricsPort::AlertFigures{failureAlert_.sentTotal(),
                                                              failureAlert_.failedTotal(),
                                                              failureAlert_.pending()};
                         },
                         statusPort_, log_};
    ControlServer control_{tasks_, taskFunctions_, log_};
    Survival survival_{tasks_, taskFunctions_, processes_, log_};
    MonitorModel model_{tasks_,
                        upList_,
                        downList_,
                        taskFunctions_,
                        log_,
                        [this](CloseReason reason) { return closeRule(reason); },
                        [this] { ShutDownMonitor(); }};
    bool refused_ = false;
    bool tickEnabled_ = true;
    bool iniUnusable_ = false;
    bool startUpEnded_ = false;
    bool portMayOpen_ = false;
    bool portAnnounced_ = false;
    qint64 stopTimeoutMs_ = 0; // STOP_TIMEOUT; 0: tasks are only asked to close
    quint64 tickCount_ = 0;
    QStringList startNotes_;
    bool portHeldClosed_ = false;
};

#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <chrono>
#include <csignal>

namespace testsupport {

// The real prowlix binary, copied into a scratch program directory (where it writes its log
// files) and run as a child process; QProcess kills it if still running at the end.
class MonitorProcess final {
  public:
    // withDesktop also copies the desktop module, so that a display would select desktop mode.
    explicit MonitorProcess(bool withDesktop = false);

    static QProcessEnvironment headlessEnvironment(); // without any display variable
    void start(const QStringList& arguments,
               const QProcessEnvironment& environment = headlessEnvironment());
    qint64 pid() const { return process_.processId(); }
    bool running() const { return process_.state() != QProcess::NotRunning; }
    QProcess& process() { return process_; }
    const QString& dir() const { return dirPath_; }

    // The monitor's log files, oldest first, as one text.
    QString log() const;
    // Waits until the log holds the text; gives up early when the monitor has ended.
    bool waitForLog(const QString& text,
                    std::chrono::milliseconds deadline = std::chrono::seconds(10));
    // Sends the signal and waits for the end; true when the monitor exited normally with 0.
    bool stop(int signal = SIGTERM, std::chrono::milliseconds deadline = std::chrono::seconds(10));

  private:
    QTemporaryDir scratch_;
    QString dirPath_;
    QProcess process_;
};

} // namespace testsupport

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
// files) and run as a child process.
class MonitorProcess final {
  public:
    // withDesktop also copies the desktop module, so that a display would select desktop mode.
    explicit MonitorProcess(bool withDesktop = false);
    ~MonitorProcess(); // a monitor still running is killed
    MonitorProcess(const MonitorProcess&) = delete;
    MonitorProcess& operator=(const MonitorProcess&) = delete;

    // The test's environment without any display variable.
    static QProcessEnvironment headlessEnvironment();

    void start(const QStringList& arguments,
               const QProcessEnvironment& environment = headlessEnvironment());
    qint64 pid() const { return process_.processId(); }
    bool running() const { return process_.state() != QProcess::NotRunning; }
    QProcess& process() { return process_; }
    const QString& dir() const { return dirPath_; }

    // The monitor's log files (LOG.prowlix*.txt), oldest first, as one text.
    QString log() const;
    // Waits until the log holds the text; gives up early when the monitor has ended.
    bool waitForLog(const QString& text,
                    std::chrono::milliseconds deadline = std::chrono::seconds(10));
    // Sends the signal and waits for the monitor to end; true when it exited normally with code 0.
    bool stop(int signal = SIGTERM, std::chrono::milliseconds deadline = std::chrono::seconds(10));

  private:
    QTemporaryDir scratch_;
    QString dirPath_;
    QProcess process_;
};

} // namespace testsupport

#pragma once

#include <QString>

// The lock that makes a monitor the only one of its configuration: a file in the runtime
// directory held with flock for the monitor's whole life, its process id written inside. The
// system lets go of it when the process ends however it ends, so a crashed monitor never blocks
// its successor; the descriptor is closed on exec, so no task holds it.
class MonitorLock final {
  public:
    enum class Outcome { Held, Taken, Failed };

    MonitorLock() = default;
    ~MonitorLock();
    MonitorLock(const MonitorLock&) = delete;
    MonitorLock& operator=(const MonitorLock&) = delete;

    // Held: ours now. Taken: another process holds it (holderPid gives its number when it has
    // written it, else 0). Failed: the file cannot be used (error says why).
    Outcome acquire(const QString& path, qint64* holderPid, QString* error);

  private:
    int fd_ = -1;
};

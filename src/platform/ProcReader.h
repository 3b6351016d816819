#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// What the system tells about a process by its number, as much as proving that a number still
// names the process once recorded takes: its start time, its arguments and the boot they belong
// to. Tests derive from it to fake a number that another process has taken.
class ProcReader {
  public:
    virtual ~ProcReader() = default;

    // Field 22 of /proc/PID/stat: clock ticks from boot to the process's start; nothing when the
    // process is gone.
    virtual std::optional<quint64> startTime(qint32 pid) const;
    // The arguments of /proc/PID/cmdline; nothing when the process is gone (or is a zombie).
    virtual std::optional<QStringList> commandLine(qint32 pid) const;
    // /proc/sys/kernel/random/boot_id: the same text until the machine starts again.
    virtual QString bootId() const;
    // A start time as Unix milliseconds, for the uptime shown beside an adopted task.
    virtual qint64 startedMs(quint64 startTime) const;

    static const ProcReader& system();
};

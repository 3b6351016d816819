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
    // Now, in the clock ticks of startTime (rounded down).
    virtual quint64 ticksNow() const;
    // Every process number there is.
    virtual QList<qint32> processes() const;
    // Leads a session of its own, and its parent is not a monitor (this program): the shape of a
    // task whose monitor has gone.
    virtual bool orphanedTask(qint32 pid) const;

    static const ProcReader& system();
};

#pragma once

#include <QByteArray>
#include <QString>
#include <optional>
#include <vector>

// What a monitor leaves for its successor: every task whose process runs, with what proves the
// process to be the one launched (its start time within this boot), so that a monitor started
// after a crash or an upgrade adopts the tasks instead of starting second copies.
struct StateEntry {
    qint32 id = 0;
    QString name;
    QString command;
    qint32 pid = 0;
    quint64 startTime = 0; // clock ticks after boot, as /proc gives it
};

struct StateRecord {
    QString bootId;
    qint64 monitorPid = 0;
    quint64 monitorStart = 0; // the monitor's own start time: with its pid, which process wrote it
    std::vector<StateEntry> tasks;
    // A launch under way: its process is not known yet (pid 0); startTime is the moment before
    // the launch, in the same clock ticks, so the successor can look for a process started since.
    std::vector<StateEntry> launching;
};

namespace StateFile {

constexpr int version = 1;
// Far above the largest table (32,767 tasks); a bigger file is refused without reading it all.
constexpr qint64 maxBytes = 16 * 1024 * 1024;

QByteArray encode(const StateRecord& record);
// The same text from entries encoded one by one, so a writer can keep those that did not change.
QByteArray encodeEntry(const StateEntry& entry);
QByteArray assemble(const QString& bootId, qint64 monitorPid, quint64 monitorStart,
                    const std::vector<QByteArray>& entries,
                    const std::vector<QByteArray>& launching = {});
// Nothing, with the reason, unless the text is a whole record of this version.
std::optional<StateRecord> decode(const QByteArray& bytes, QString* problem);

// Reads the file when it is a regular file of this user, not a symbolic link, and not too big.
// Nothing with an empty problem when there is no file.
std::optional<StateRecord> read(const QString& path, QString* problem);

// Replaces the file at once: written beside it under a fresh name, then renamed over it, so a
// reader never sees half a file. False with the reason when it cannot be written.
bool write(const QString& path, const QByteArray& bytes, QString* error);

} // namespace StateFile

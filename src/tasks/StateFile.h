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
    // The token of the journal that continues this snapshot (empty: none).
    QString journal;
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
                    const std::vector<QByteArray>& launching = {}, const QString& journal = {});
// Nothing, with the reason, unless the text is a whole record of this version.
std::optional<StateRecord> decode(const QByteArray& bytes, QString* problem);

// The journal beside the snapshot: the changes since it was written, a line each, so that a
// launch costs one short append instead of a rewrite of every task. It continues only the snapshot
// that names its token (its first line); a later snapshot starts a new one.
QString journalPath(const QString& statePath);
QByteArray journalHeader(const QString& token);
QByteArray journalLaunching(const StateEntry& entry); // about to launch: its process not yet known
QByteArray journalUp(const StateEntry& entry);        // its process runs
QByteArray journalDown(qint32 id);                    // it has no process (ended, launch failed)
// Applies a journal to the snapshot it continues; a journal of another snapshot changes nothing,
// and an unfinished last line (a write cut short) is left out. False with the reason when a line
// cannot be read: the lines before it are applied.
bool replay(StateRecord& record, const QByteArray& journal, QString* problem);

// Reads the file when it is a regular file of this user, not a symbolic link, and not too big,
// with its journal when there is one. Nothing with an empty problem when there is no file. A
// journal that cannot be used leaves the snapshot as it is, with the reason in journalProblem.
std::optional<StateRecord> read(const QString& path, QString* problem,
                                QString* journalProblem = nullptr);

// Replaces the file at once: written beside it under a fresh name, then renamed over it, so a
// reader never sees half a file. False with the reason when it cannot be written.
bool write(const QString& path, const QByteArray& bytes, QString* error);

} // namespace StateFile

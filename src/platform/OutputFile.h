#pragma once

#include <QString>
#include <QStringList>

// Task output files: opened by the monitor and handed to the task, rotated when they grow.

// Opens path for appending (created 0640 when missing): only a regular file, never through a
// symbolic link, never blocking. Returns the descriptor (close-on-exec), or -1 with the reason.
int openOutputFile(const QString& path, QString* reason);

// When path holds at least maxBytes: path.N-1 becomes path.N ... path becomes path.1, keeping
// `backups` old files (none: it is only emptied). A file a running task writes to is copied and
// then emptied, since the task keeps its descriptor. Returns the reason when it could not be done
// (a full disk, say; nothing is lost then), else an empty text.
QString rotateOutputFile(const QString& path, qint64 maxBytes, int backups, bool inUse);

// The file's last `lines` lines, reading at most its last maxBytes bytes (a line cut by that
// limit is dropped); empty when it cannot be read. Never blocks.
QStringList lastOutputLines(const QString& path, int lines = 20, int maxBytes = 4096);

#pragma once

#include <QByteArray>
#include <QString>

// Reads a file the operator names for the mail (the password file, the certificate file) without
// ever blocking: only a regular file is read, so a FIFO, a device or a directory in its place is
// an error with the reason, never a frozen monitor.
namespace RegularFile {

struct Contents {
    QByteArray bytes; // at most the limit asked for
    QString error;    // empty when the file was read
};

Contents read(const QString& path, qint64 limit);

} // namespace RegularFile

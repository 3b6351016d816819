#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Bytes of the system (file contents, arguments, program paths) as text and back, byte for byte.
// The bytes are read as UTF-8, the locale's encoding here; a byte that is not part of valid UTF-8
// is kept as the lone surrogate U+DC80 to U+DCFF, so that a program whose name is not valid UTF-8
// is launched as the very file it names and never as one named with U+FFFD.
QString fromSystemBytes(const char* data, qsizetype size);
inline QString fromSystemBytes(const QByteArray& bytes) {
    return fromSystemBytes(bytes.constData(), bytes.size());
}
QByteArray toSystemBytes(const QString& text);

// The system's description of an errno value (strerror), in the locale's encoding.
QString systemErrorText(int error);

// argv[1..] through fromSystemBytes.
QStringList systemArguments(int argc, char** argv);

#pragma once

#include <QStringList>

// The program and arguments of a task's command: the command-line tokens (CommandTokens.h) with
// single quotes read as a POSIX shell reads them, so that sh -c 'sleep 10; exit 3' reaches sh as
// the two arguments -c and the script. No shell is run. A single quote that is never closed is an
// error (RuntimeError): the command is not guessed at.
QStringList splitTaskCommand(const QString& command);

#pragma once

#include <QStringList>

// The program and arguments of a task's command, as a POSIX shell would group them but without
// running one: blanks separate; double quotes group and are dropped (an open one drops the token
// it opens and the rest of the text, as on the monitor's own command line); single quotes group,
// are dropped and keep everything between them literally, blanks and double quotes included, so
// that sh -c 'sleep 10; exit 3' reaches sh as the two arguments -c and the script.
// A single quote that is never closed is an error (RuntimeError): the command is not guessed at.
QStringList splitTaskCommand(const QString& command);

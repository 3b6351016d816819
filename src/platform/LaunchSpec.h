#pragma once

#include <QString>
#include <csignal>

// How one task's process is started: the command and what it runs with. Everything that can fail
// (the user, the directory, the environment file) is checked by the launcher before it forks, so
// a bad value is a launch error with a reason and never a child that dies unexplained.
struct LaunchSpec {
    QString command;
    int showValue = 4;
    QString user;             // NAME or NAME:GROUP; empty: the monitor's own
    QString dir;              // working directory; empty: the monitor's
    QString envFile;          // a file of KEY=value lines added to the environment
    int umask = -1;           // file creation mask; -1: the monitor's
    int stopSignal = SIGTERM; // what asks the task to close
    int outputFd = -1;        // standard output and error; -1: the monitor's
};

// The number of a signal named TERM, SIGTERM (any case) or by its number; 0 when there is none.
int signalByName(const QString& name);

#pragma once

#include <QString>
#include <sys/types.h>

// What the choice of the log directory depends on. current() gathers it from the running system;
// tests fill it in by hand.
struct LogDirectoryInputs {
    QString option;     // the value of /D:, empty when not given
    QString programDir; // directory of the running executable
    bool programDirWritable = false;
    uid_t uid = 0;     // the monitor's effective user
    QString stateHome; // $XDG_STATE_HOME as found, possibly empty
    QString home;      // the user's home directory: HOME, else the account's entry

    static LogDirectoryInputs current(const QString& option, const QString& programDir);
};

// Where the daily log files go: /D: when given (made absolute against the current directory);
// otherwise the program's directory, except where an installed program must not write (under
// /usr, or a directory it cannot write): /var/log/prowlix for root, and for anyone else
// $XDG_STATE_HOME/prowlix, ~/.local/state/prowlix when that is unset or not absolute. A user
// without a home (see usableHome) keeps the program's directory.
QString chooseLogDirectory(const LogDirectoryInputs& inputs);

// A home directory to put per-user state in: absolute and not the root directory.
bool usableHome(const QString& home);
// Whether the choice wanted the user's home and found none (HOME nor the account's entry).
bool withoutHome(const LogDirectoryInputs& inputs);

// Creates the directory when it is missing, parents included (mode for what it creates), and
// says why the monitor cannot write there: an empty text when it can.
QString prepareLogDirectory(const QString& path, mode_t mode = 0755);

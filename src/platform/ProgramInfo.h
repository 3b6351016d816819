#pragma once

#include <QString>

// Where the program lives and what it is called: the log files are named from this.
// Injected so that tests can point the engine at a scratch directory.
struct ProgramInfo {
    QString dir;     // directory of the running executable, no trailing separator
    QString exeName; // executable's file name without extension

    static ProgramInfo current();
};

#pragma once

#include <QString>
#include <string>

// The entry of the desktop module: prowlixDesktopMain(argc, argv).
using DesktopMain = int (*)(int, char**);

// Desktop mode, when it can run: a display that really opens and a module that is whole. Qt ends
// the process when it cannot open its display, and the loader takes a module cut short down with
// SIGBUS, so both are checked before either is tried.
struct Desktop {
    DesktopMain entry = nullptr;
    // The Qt platform to ask for ("-platform"), when only one of the displays opens.
    std::string platform;
    // Why the monitor runs headless when entry is null.
    QString problem;
};
Desktop findDesktop();

// Whether the file is a complete ELF object: every loaded segment and the section header table
// lie within it. Empty when it is, else why not.
QString elfProblem(const std::string& path);

#pragma once

#include <QString>

// Where a running monitor keeps the files other processes find it by: its control socket, its
// state file and the lock that makes it the only monitor of its configuration. /run/prowlix for
// root, $XDG_RUNTIME_DIR/prowlix for anyone else, else a private folder under /tmp that belongs to
// the user. Each monitor's files are named from its configuration, so two monitors never collide
// and a monitor started again on the same configuration finds its predecessor's.
class RuntimeDirectory final {
  public:
    // The folder for this user, created when missing; empty with the reason in error when it
    // cannot be used safely (not a directory, a symbolic link, another owner, writable by others).
    static QString locate(QString* error = nullptr);

    // The file name base for a configuration (an INI file's absolute path, or the argument text):
    // readable, safe as a file name, and distinct for every configuration.
    static QString baseName(const QString& configuration);

    // The configuration a monitor of these arguments runs: the INI file's absolute path, else the
    // argument text.
    static QString configurationOf(const QString& iniPath, const QString& argumentText);

    // Overrides the folder (tests); empty restores the rule above.
    static void setOverride(const QString& directory);
};

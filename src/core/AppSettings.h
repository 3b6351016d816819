#pragma once

#include <QList>
#include <QString>

struct INIEntry {
    QString Key;
    QString Value;
};

// Settings that start-up settles from the command line and the INI file.
struct AppSettings {
    bool KillOnExit = false;
    double StatusPort = 180;
    QList<INIEntry> INIEntries;

    // Value of the last entry whose key matches without regard to case; empty when none does.
    QString GetINIValue(const QString& name) const;
};

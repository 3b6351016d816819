#include "ConfigINI.h"

#include <QFileInfo>

ConfigINI::ConfigINI(AppSettings& settings, TaskFunctions& taskFunctions, SMTPClient& mail, Log& log)
    : settings_(settings), taskFunctions_(taskFunctions), mail_(mail), log_(log) {}

bool ConfigINI::fileExists(const QString& path) {
    return !path.isEmpty() && QFileInfo(path).isFile();
}

void ConfigINI::LoadINIFile(const QString&) {}
void ConfigINI::ParseINILine(const QString&) {}
QStringList ConfigINI::SplitFields(const QString&) { return {QString()}; }

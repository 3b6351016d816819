#pragma once

#include <QString>
#include <QStringList>

struct AppSettings;
class Log;
class SMTPClient;
class TaskFunctions;

// Reads the INI file once, at start: task lines start their task at once, mail keys go to the
// mail sender, LOG to the event log, every other key is stored in AppSettings.
class ConfigINI final {
  public:
    ConfigINI(AppSettings& settings, TaskFunctions& taskFunctions, SMTPClient& mail, Log& log);

    // What keeps the file at exactly that path (relative to the current directory) from being
    // read, as the event that names it: "Error: INI file (" + path + ") not found", "... is not a
    // regular file" or "... cannot be read: " + the system's reason. Empty when it can be read.
    // Opening never blocks, whatever the path names.
    static QString fileProblem(const QString& path);

    // The value of a plain key (not START, LOG or a mail key) as a complete read would store it,
    // the last line counting; read ahead of the tasks, for what must hold while they start.
    static QString peekValue(const QString& path, const QString& key);

    // Reads every line; events run between lines. Conversion and read errors throw RuntimeError;
    // a file that cannot be read is one whose description names it.
    void LoadINIFile(const QString& path);
    void ParseINILine(const QString& line);

    // Fields of a value, numbered from 1 (element 0 is an unused empty string).
    static QStringList SplitFields(const QString& text);

  private:
    AppSettings& settings_;
    TaskFunctions& taskFunctions_;
    SMTPClient& mail_;
    Log& log_;
};

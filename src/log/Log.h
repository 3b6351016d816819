#pragma once

#include "platform/Clock.h"
#include "platform/ProgramInfo.h"

#include <QDate>
#include <QLocale>
#include <QString>

// What the log shows the user: message boxes and opening a file in the desktop's viewer.
// The desktop implements it with widgets; headless mode writes the texts to standard error.
class LogPresenter {
  public:
    virtual ~LogPresenter() = default;
    virtual void showMessage(const QString& text) = 0;
    virtual void openFile(const QString& path) = 0;
};

// A plain-text event log, one file per calendar day in the log directory (the program's
// directory unless start-up chooses another): <dir>/<FileNameBase>.<exe><yyyy-mm-dd>.txt, one
// "time stamp - event" line per event.
class Log final {
  public:
    // The clock gives the time stamps and the day whose file is written.
    explicit Log(ProgramInfo program = ProgramInfo::current(), LogPresenter* presenter = nullptr,
                 Clock& clock = Clock::system());

    bool LogActivity = false;
    QString FileNameBase;
    bool Silent = false;

    const ProgramInfo& program() const { return program_; }
    Clock& clock() const { return clock_; }
    const QString& directory() const { return directory_; }
    // warned: the caller has already told the user that the directory cannot be written, so the
    // first lost line needs no second warning.
    void setDirectory(const QString& directory, bool warned = false) {
        directory_ = directory;
        writeWarned_ = warned;
    }

    void WriteLog(const QString& EventMessage);
    // Whole text of the file of that date, every line ending in CR LF; events run after each line.
    QString LogContents(const QDate& FileDate);
    void ViewLog();
    void Delete();
    void Purge();
    QString LogFileName(const QDate& date);

    // The bases of the files this program writes: the event log's default and the mail
    // sender's stage log. Retention deletes old files of both.
    static QString eventLogBase() { return QStringLiteral("LOG"); }
    static QString mailStageLogBase() { return QStringLiteral("SMTP"); }

    // The name of a day's file: <base>.<exeName><yyyy-mm-dd>.txt.
    static QString dailyFileName(const QString& base, const QString& exeName, const QDate& date);
    // The date in the name of a day's file of that base and program; null for any other name.
    static QDate dailyFileDate(const QString& name, const QString& base, const QString& exeName);

    // Deletes the file only when it is a regular file: a symbolic link, FIFO or directory that
    // merely carries a log file's name is not this monitor's to delete.
    static bool removeRegularFile(const QString& path);

    // The local time stamp of a log line: short date, blank, time with seconds; midnight gives
    // the date alone.
    static QString timeStamp(const QDateTime& when, const QLocale& locale = QLocale::system());

  private:
    void message(const QString& text);
    // FileNameBase, set to its default the first time a file name needs it.
    const QString& base();

    ProgramInfo program_;
    QString directory_;
    LogPresenter* presenter_;
    Clock& clock_;
    bool writeWarned_ = false;
    // The last line's second, with what it gave: its stamp and file.
    struct Stamp {
        qint64 second = -1;
        QString directory, base, prefix, path;
    } stamp_;
};

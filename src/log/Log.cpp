#include "log/Log.h"

#include "base/SystemText.h"
#include "platform/EventPump.h"
#include "platform/StandardError.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// The locale's long time format without its zone field and what only framed it: brackets left
// empty, and blanks or a comma at either end. Quoted literal text is kept as it is.
QString timeFormatWithSeconds(const QLocale& locale) {
    const QString longFormat = locale.timeFormat(QLocale::LongFormat);
    QString format;
    bool quoted = false;
    for (const QChar c : longFormat) {
        if (c == QLatin1Char('\''))
            quoted = !quoted;
        else if (!quoted && c == QLatin1Char('t'))
            continue;
        format += c;
    }
    format.remove(QStringLiteral("()")).remove(QStringLiteral("[]"));
    const auto framing = [](QChar c) { return c.isSpace() || c == QLatin1Char(','); };
    while (!format.isEmpty() && framing(format.back()))
        format.chop(1);
    while (!format.isEmpty() && framing(format.front()))
        format.remove(0, 1);
    if (!format.contains(QLatin1Char('s')))
        format += QStringLiteral(":ss");
    return format;
}

// Every control character is written as a blank: one event is one line (CR and LF), and no NUL
// byte or terminal escape from a server reply, a task name or an argument reaches the file.
QString withoutControls(QString text) {
    for (QChar& c : text) {
        const char16_t u = c.unicode();
        if ((u < 0x20 && u != u'\t') || (u >= 0x7F && u <= 0x9F) || u == 0x2028 || u == 0x2029)
            c = QLatin1Char(' ');
    }
    return text;
}

// Appends the line with one write, to a regular file only: never through a symbolic link, and
// never waiting (a FIFO in its place would hold the monitor until someone reads it). Returns why
// the line was dropped, or an empty text.
QString appendLine(const QString& path, const QByteArray& line) {
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(
        name.constData(),
        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int error = errno;
        return error == ELOOP || error == ENXIO || error == EISDIR
                   ? QStringLiteral("not a regular file")
                   : systemErrorText(error);
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return QStringLiteral("not a regular file");
    }
    ssize_t written = 0;
    do
        written = ::write(fd, line.constData(), static_cast<size_t>(line.size()));
    while (written < 0 && errno == EINTR);
    QString problem;
    if (written < 0) {
        problem = systemErrorText(errno);
    } else if (written != line.size()) {
        problem = systemErrorText(ENOSPC);
        // Take the part that went out back, so that the next line does not continue it.
        const off_t end = ::lseek(fd, 0, SEEK_CUR);
        if (end >= written) {
            [[maybe_unused]] const int rc = ::ftruncate(fd, end - written);
        }
    }
    ::close(fd);
    return problem;
}
} // namespace

Log::Log(ProgramInfo program, LogPresenter* presenter, Clock& clock)
    : program_(std::move(program)), directory_(program_.dir), presenter_(presenter), clock_(clock) {
}

QString Log::timeStamp(const QDateTime& when, const QLocale& locale) {
    const QString date = locale.toString(when.date(), QLocale::ShortFormat);
    const QTime t = when.time();
    if (t.hour() == 0 && t.minute() == 0 && t.second() == 0)
        return date;
    return date + QLatin1Char(' ') + locale.toString(when.time(), timeFormatWithSeconds(locale));
}

const QString& Log::base() {
    if (FileNameBase.isEmpty())
        FileNameBase = eventLogBase();
    return FileNameBase;
}

QString Log::dailyFileName(const QString& base, const QString& exeName, const QDate& date) {
    return base + QLatin1Char('.') + exeName + date.toString(QStringLiteral("yyyy-MM-dd")) +
           QStringLiteral(".txt");
}

QDate Log::dailyFileDate(const QString& name, const QString& base, const QString& exeName) {
    const qsizetype prefix = base.size() + 1 + exeName.size();
    if (name.size() != prefix + 14)
        return {};
    const QDate date = QDate::fromString(name.mid(prefix, 10), QStringLiteral("yyyy-MM-dd"));
    // Built back from the date, the name must be the same text: nothing looser counts.
    return date.isValid() && dailyFileName(base, exeName, date) == name ? date : QDate();
}

QString Log::LogFileName(const QDate& date) {
    return directory_ + QLatin1Char('/') + dailyFileName(base(), program_.exeName, date);
}

void Log::WriteLog(const QString& EventMessage) {
    if (!LogActivity)
        return;
    // The stamp and the file's name change once a second at most: a burst of lines formats them
    // once, not once a line.
    const qint64 second = clock_.wallTimeMs() / 1000;
    if (second != stamp_.second || directory_ != stamp_.directory || base() != stamp_.base) {
        const QDateTime now = clock_.wallTime();
        stamp_ = {second, directory_, base(), timeStamp(now) + QStringLiteral(" - "),
                  LogFileName(now.date())};
    }
    const QString& path = stamp_.path;
    const QByteArray line = (stamp_.prefix + withoutControls(EventMessage)).toLocal8Bit() + "\r\n";
    const QString problem = appendLine(path, line);
    if (problem.isEmpty()) {
        writeWarned_ = false;
        return;
    }
    // The line is dropped and supervision goes on; warn once per run of failures, not per line.
    if (!writeWarned_) {
        writeStandardError(QStringLiteral("cannot write the log file %1: %2").arg(path, problem));
        writeWarned_ = true;
    }
}

QString Log::LogContents(const QDate& FileDate) {
    QFile file(LogFileName(FileDate));
    if (!file.exists())
        return QStringLiteral("Log file is empty.");
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QString result;
    while (!file.atEnd()) {
        QByteArray line = file.readLine();
        if (line.endsWith('\n'))
            line.chop(1);
        if (line.endsWith('\r'))
            line.chop(1);
        result += QString::fromLocal8Bit(line) + QStringLiteral("\r\n");
        EventPump::letEventsRun();
    }
    return result;
}

void Log::ViewLog() {
    const QString path = LogFileName(clock_.wallTime().date());
    if (QFile::exists(path)) {
        if (presenter_)
            presenter_->openFile(path);
    } else {
        message(QStringLiteral("Today's log file is empty"));
    }
}

bool Log::removeRegularFile(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    struct stat info {};
    return ::lstat(name.constData(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::unlink(name.constData()) == 0;
}

void Log::Delete() {
    removeRegularFile(LogFileName(clock_.wallTime().date()));
    message(QStringLiteral("Log file deleted."));
}

void Log::Purge() {
    QDir dir(directory_);
    const QString pattern = base() + QLatin1Char('.') + program_.exeName + QStringLiteral("*.txt");
    const QStringList names =
        dir.entryList({pattern}, QDir::Files | QDir::Hidden | QDir::System | QDir::CaseSensitive);
    for (const QString& name : names)
        removeRegularFile(dir.filePath(name));
    message(QStringLiteral("All log files deleted."));
}

void Log::message(const QString& text) {
    if (!Silent && presenter_)
        presenter_->showMessage(text);
}

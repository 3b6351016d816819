#include "Log.h"

#include "EventPump.h"

#include <QDir>
#include <QFile>
#include <QLocale>

#include <cstdio>

namespace {
// The locale's long time format without its zone name.
QString timeFormatWithSeconds(const QLocale& locale) {
    QString format = locale.timeFormat(QLocale::LongFormat);
    format.remove(QLatin1Char('t'));
    format = format.trimmed();
    if (!format.contains(QLatin1Char('s')))
        format += QStringLiteral(":ss");
    return format;
}
} // namespace

Log::Log(ProgramInfo program, LogPresenter* presenter)
    : program_(std::move(program)), directory_(program_.dir), presenter_(presenter) {}

QString Log::timeStamp(const QDateTime& when) {
    const QLocale locale = QLocale::system();
    const QString date = locale.toString(when.date(), QLocale::ShortFormat);
    const QTime t = when.time();
    if (t.hour() == 0 && t.minute() == 0 && t.second() == 0)
        return date;
    return date + QLatin1Char(' ') + locale.toString(when.time(), timeFormatWithSeconds(locale));
}

QString Log::LogFileName(const QDate& date) {
    if (FileNameBase.isEmpty())
        FileNameBase = QStringLiteral("LOG");
    return directory_ + QLatin1Char('/') + FileNameBase + QLatin1Char('.') + program_.exeName +
           date.toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral(".txt");
}

void Log::WriteLog(const QString& EventMessage) {
    if (!LogActivity)
        return;
    QFile file(LogFileName(QDate::currentDate()));
    // One event is one line: a line break inside the text must not split or forge lines.
    QString text = EventMessage;
    text.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    const QByteArray line =
        (timeStamp(QDateTime::currentDateTime()) + QStringLiteral(" - ") + text).toLocal8Bit() +
        "\r\n";
    const bool ok = file.open(QIODevice::WriteOnly | QIODevice::Append) &&
                    file.write(line) == line.size() && file.flush();
    if (ok) {
        writeWarned_ = false;
        return;
    }
    // The line is dropped and supervision goes on; warn once per run of failures, not per line.
    if (!writeWarned_) {
        std::fprintf(stderr, "Prowlix: cannot write the log file %s: %s\n",
                     qPrintable(file.fileName()), qPrintable(file.errorString()));
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
    const QString path = LogFileName(QDate::currentDate());
    if (QFile::exists(path)) {
        if (presenter_)
            presenter_->openFile(path);
    } else {
        message(QStringLiteral("Today's log file is empty"));
    }
}

void Log::Delete() {
    QFile::remove(LogFileName(QDate::currentDate()));
    message(QStringLiteral("Log file deleted."));
}

void Log::Purge() {
    if (FileNameBase.isEmpty())
        FileNameBase = QStringLiteral("LOG");
    QDir dir(directory_);
    const QString pattern = FileNameBase + QLatin1Char('.') + program_.exeName + QStringLiteral("*.txt");
    const QStringList names = dir.entryList({pattern}, QDir::Files | QDir::Hidden | QDir::System | QDir::CaseSensitive);
    for (const QString& name : names)
        dir.remove(name);
    message(QStringLiteral("All log files deleted."));
}

void Log::message(const QString& text) {
    if (!Silent && presenter_)
        presenter_->showMessage(text);
}

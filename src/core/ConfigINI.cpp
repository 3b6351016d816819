#include "core/ConfigINI.h"

#include "base/CommandTokens.h"
#include "base/RuntimeError.h"
#include "base/SystemText.h"
#include "core/AppSettings.h"
#include "core/Conversions.h"
#include "log/Log.h"
#include "mail/SMTPClient.h"
#include "platform/EventPump.h"
#include "tasks/TaskFunctions.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString problemText(const QString& path, const QString& what) {
    return QStringLiteral("Error: INI file (") + path + QStringLiteral(") ") + what;
}

// Opens the file for reading only when it is a regular file; a FIFO or a device must not block
// start-up or be read as a configuration. Returns -1 and the event text otherwise.
int openRegular(const QString& path, QString& problem, bool* missing = nullptr) {
    const QByteArray name = toSystemBytes(path);
    struct stat info {};
    if (path.isEmpty() || ::stat(name.constData(), &info) != 0) {
        const int error = path.isEmpty() ? ENOENT : errno;
        if (missing != nullptr)
            *missing = error == ENOENT || error == ENOTDIR;
        problem =
            error == ENOENT || error == ENOTDIR
                ? problemText(path, QStringLiteral("not found"))
                : problemText(path, QStringLiteral("cannot be read: ") + systemErrorText(error));
        return -1;
    }
    int fd = -1;
    if (S_ISREG(info.st_mode)) {
        fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            problem =
                problemText(path, QStringLiteral("cannot be read: ") + systemErrorText(errno));
            return -1;
        }
        // The name may have been given to something else since it was looked at.
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
            return fd;
        ::close(fd);
    }
    problem = problemText(path, QStringLiteral("is not a regular file"));
    return -1;
}

// Only spaces are trimmed: a tab belongs to the key or value.
QString trimSpaces(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text[begin] == QLatin1Char(' '))
        ++begin;
    while (end > begin && text[end - 1] == QLatin1Char(' '))
        --end;
    return text.mid(begin, end - begin);
}

// A mail key's number; an error names the key and the value, which a bare "Overflow" does not.
qint16 mailNumber(const QString& key, const QString& value) {
    try {
        return Conversions::CInt(value);
    } catch (const RuntimeError& error) {
        throw RuntimeError(key + QLatin1Char('=') + value + QStringLiteral(": ") +
                           error.description());
    }
}

// A mail key given again assigns again: the last line wins, as for every key. Said, because an
// operator who writes SMTP_TO twice expects both recipients.
void warnOfRepeatedMailKey(const QString& upperKey, const QString& value, const SMTPClient& mail,
                           Log& log) {
    const bool repeated =
        (upperKey == QLatin1String("SMTP_SERVER") && !mail.MailServer.isEmpty()) ||
        (upperKey == QLatin1String("SMTP_TO") && !mail.ToAddress.isEmpty()) ||
        (upperKey == QLatin1String("SMTP_PORT") && mail.SMTPPort != 0) ||
        (upperKey == QLatin1String("SMTP_TIMEOUT") && mail.TimeOut != 0);
    if (repeated)
        log.WriteLog(QStringLiteral("WARNING: ") + upperKey + QLatin1Char('=') + value +
                     QStringLiteral(": ") + upperKey +
                     QStringLiteral(" is given again; the last line wins") +
                     (upperKey == QLatin1String("SMTP_TO")
                          ? QStringLiteral(" (list several recipients on one line, separated by "
                                           "commas)")
                          : QString()));
}

// A line ends at CR, LF or CR LF, whichever the file's writer used.
template <typename F> void forEachLine(const QByteArray& content, F handle) {
    qsizetype start = 0;
    const qsizetype size = content.size();
    while (start < size) {
        qsizetype end = start;
        while (end < size && content[end] != '\r' && content[end] != '\n')
            ++end;
        // Byte for byte: a program path that is not valid UTF-8 must still name its own file.
        const QString line = fromSystemBytes(content.constData() + start, end - start);
        start = end;
        if (start < size && content[start] == '\r')
            ++start;
        if (start < size && content[start] == '\n')
            ++start;
        handle(line);
    }
}

} // namespace

ConfigINI::ConfigINI(AppSettings& settings, TaskFunctions& taskFunctions, SMTPClient& mail,
                     Log& log)
    : settings_(settings), taskFunctions_(taskFunctions), mail_(mail), log_(log) {}

QString ConfigINI::fileProblem(const QString& path) {
    QString problem;
    const int fd = openRegular(path, problem);
    if (fd >= 0)
        ::close(fd);
    return problem;
}

void ConfigINI::LoadINIFile(const QString& path) {
    QString problem;
    bool missing = false;
    const int fd = openRegular(path, problem, &missing);
    if (missing)
        return; // nothing to read; start-up reports it
    if (fd < 0)
        throw RuntimeError(problem);
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        throw RuntimeError(
            problemText(path, QStringLiteral("cannot be read: ") + file.errorString()));
    }
    QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw RuntimeError(
            problemText(path, QStringLiteral("cannot be read: ") + file.errorString()));
    file.close();
    if (content.startsWith("\xEF\xBB\xBF"))
        content.remove(0, 3);

    // Where task output goes is settled before the first task starts, wherever the keys stand.
    QString outputKeys[3];
    const char* const outputNames[3] = {"OUTPUT_DIR", "OUTPUT_MAX_BYTES", "OUTPUT_BACKUPS"};
    forEachLine(content, [&](const QString& text) {
        QString line = text.left(text.indexOf(QLatin1Char(';')));
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        const QString key = trimSpaces(line.left(equals)).toUpper();
        for (int i = 0; i < 3 && equals > 0; ++i) {
            if (key == QLatin1String(outputNames[i]))
                outputKeys[i] = trimSpaces(trimSpaces(line).mid(trimSpaces(line).indexOf('=') + 1));
        }
    });
    taskFunctions_.configureOutput(outputKeys[0], outputKeys[1], outputKeys[2]);
    forEachLine(content, [this](const QString& line) {
        ParseINILine(line);
        // Tasks already started are supervised while the rest of the file is read.
        EventPump::letEventsRun();
    });
}

void ConfigINI::ParseINILine(const QString& text) {
    QString line = text;
    const qsizetype comment = line.indexOf(QLatin1Char(';'));
    if (comment >= 0)
        line.truncate(comment);
    line = trimSpaces(line);
    const qsizetype equals = line.indexOf(QLatin1Char('='));
    if (equals <= 0)
        return;
    const QString key = trimSpaces(line.left(equals));
    const QString value = trimSpaces(line.mid(equals + 1));
    const QStringList fields = SplitFields(value);
    const QString upperKey = key.toUpper();
    warnOfRepeatedMailKey(upperKey, value, mail_, log_);

    if (upperKey == QLatin1String("START")) {
        const auto field = [&fields](int i) { return i < fields.size() ? fields[i] : QString(); };
        QString name = field(2);
        const QString mode = field(3).toUpper();
        qint16 style = mode == QLatin1String("MAX") ? 3 : mode == QLatin1String("MIN") ? 2 : 0;
        // An empty restart field counts as missing.
        const bool autoRestart = !field(4).isEmpty() && Conversions::CBool(field(4));
        // Fields after the fourth hold the task's options, one "name=value" a field.
        taskFunctions_.StartTask(name, field(1), style, autoRestart,
                                 fields.size() > 5 ? fields.mid(5) : QStringList());
    } else if (upperKey == QLatin1String("SMTP_SERVER")) {
        mail_.MailServer = value;
    } else if (upperKey == QLatin1String("SMTP_TO")) {
        mail_.ToAddress = value;
    } else if (upperKey == QLatin1String("SMTP_PORT")) {
        mail_.SMTPPort = mailNumber(upperKey, value);
    } else if (upperKey == QLatin1String("SMTP_TIMEOUT")) {
        mail_.TimeOut = mailNumber(upperKey, value);
    } else if (upperKey == QLatin1String("LOG")) {
        if (value.toUpper() == QLatin1String("OFF"))
            log_.LogActivity = false;
    } else {
        settings_.INIEntries.append(INIEntry{key, value});
    }
}

QStringList ConfigINI::SplitFields(const QString& text) {
    return QStringList{QString()} + splitQuotedFields(text);
}

QString ConfigINI::peekValue(const QString& path, const QString& key) {
    QFile file(path);
    if (!fileProblem(path).isEmpty() || !file.open(QIODevice::ReadOnly))
        return {};
    QByteArray content = file.readAll();
    if (content.startsWith("\xEF\xBB\xBF"))
        content.remove(0, 3);
    QString value;
    // The same lines and the same parse as LoadINIFile and ParseINILine.
    for (const QByteArray& line : content.replace('\r', '\n').split('\n')) {
        QString text = fromSystemBytes(line);
        const qsizetype comment = text.indexOf(QLatin1Char(';'));
        if (comment >= 0)
            text.truncate(comment);
        text = trimSpaces(text);
        const qsizetype equals = text.indexOf(QLatin1Char('='));
        if (equals > 0 && trimSpaces(text.left(equals)).compare(key, Qt::CaseInsensitive) == 0)
            value = trimSpaces(text.mid(equals + 1));
    }
    return value;
}

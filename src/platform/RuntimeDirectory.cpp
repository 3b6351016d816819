#include "platform/RuntimeDirectory.h"

#include "base/SystemText.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString& overridden() {
    static QString directory;
    return directory;
}

// Creates the folder when missing and checks it as a terminal multiplexer checks its socket
// folder: a real directory of ours that nobody else may write to.
QString checked(const QString& path, mode_t mode, QString* error) {
    const QByteArray bytes = QFile::encodeName(path);
    if (::mkdir(bytes.constData(), mode) != 0 && errno != EEXIST) {
        if (error != nullptr)
            *error = path + QStringLiteral(": ") + systemErrorText(errno);
        return {};
    }
    struct stat info {};
    QString problem;
    if (::lstat(bytes.constData(), &info) != 0)
        problem = systemErrorText(errno);
    else if (!S_ISDIR(info.st_mode))
        problem = QStringLiteral("not a directory");
    else if (info.st_uid != ::geteuid())
        problem = QStringLiteral("owned by another user");
    else if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        problem = QStringLiteral("writable by others");
    if (problem.isEmpty())
        return path;
    if (error != nullptr)
        *error = path + QStringLiteral(": ") + problem;
    return {};
}

} // namespace

QString RuntimeDirectory::locate(QString* error) {
    if (!overridden().isEmpty())
        return checked(overridden(), 0700, error);
    // Separate sets of monitors on one machine (test runs, staging beside production) keep their
    // files apart with PROWLIX_RUNTIME_DIR.
    const QString chosen = qEnvironmentVariable("PROWLIX_RUNTIME_DIR");
    if (!chosen.isEmpty() && QDir::isAbsolutePath(chosen))
        return checked(chosen, 0700, error);
    if (::geteuid() == 0)
        return checked(QStringLiteral("/run/prowlix"), 0755, error);
    const QString xdg = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!xdg.isEmpty() && QDir::isAbsolutePath(xdg))
        return checked(xdg + QStringLiteral("/prowlix"), 0700, error);
    return checked(QStringLiteral("/tmp/prowlix-%1").arg(::geteuid()), 0700, error);
}

QString RuntimeDirectory::baseName(const QString& configuration) {
    // The INI file's name (or the first program's) for people; a hash of the whole text for
    // uniqueness.
    QString readable = QFileInfo(configuration.section(QLatin1Char(' '), 0, 0)).completeBaseName();
    for (QChar& c : readable) {
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != QLatin1Char('-') &&
            c != QLatin1Char('_'))
            c = QLatin1Char('_');
    }
    readable.truncate(40);
    if (readable.isEmpty())
        readable = QStringLiteral("prowlix");
    const QByteArray hash =
        QCryptographicHash::hash(configuration.toUtf8(), QCryptographicHash::Sha256).toHex();
    return readable + QLatin1Char('-') + QString::fromLatin1(hash.left(12));
}

QString RuntimeDirectory::configurationOf(const QString& iniPath, const QString& argumentText) {
    if (iniPath.isEmpty())
        return argumentText;
    return QFileInfo(iniPath).absoluteFilePath();
}

void RuntimeDirectory::setOverride(const QString& directory) {
    overridden() = directory;
}

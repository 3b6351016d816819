#include "log/LogDirectory.h"

#include "base/SystemText.h"

#include <QDir>
#include <QFileInfo>
#include <cerrno>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool underUsr(const QString& dir) {
    const QString clean = QDir::cleanPath(dir);
    return clean == QLatin1String("/usr") || clean.startsWith(QLatin1String("/usr/"));
}

} // namespace

bool usableHome(const QString& home) {
    return QDir::isAbsolutePath(home) && QDir::cleanPath(home) != QLatin1String("/");
}

bool withoutHome(const LogDirectoryInputs& inputs) {
    return inputs.option.isEmpty() && (!inputs.programDirWritable || underUsr(inputs.programDir)) &&
           inputs.uid != 0 && !QDir::isAbsolutePath(inputs.stateHome) && !usableHome(inputs.home);
}

LogDirectoryInputs LogDirectoryInputs::current(const QString& option, const QString& programDir) {
    LogDirectoryInputs inputs;
    inputs.option = option;
    inputs.programDir = programDir;
    inputs.programDirWritable =
        ::access(QFile::encodeName(programDir).constData(), W_OK | X_OK) == 0;
    inputs.uid = ::geteuid();
    inputs.stateHome = qEnvironmentVariable("XDG_STATE_HOME");
    inputs.home = qEnvironmentVariable("HOME");
    if (!usableHome(inputs.home)) {
        const passwd* account = ::getpwuid(inputs.uid);
        inputs.home = account != nullptr ? QFile::decodeName(account->pw_dir) : QString();
    }
    return inputs;
}

QString chooseLogDirectory(const LogDirectoryInputs& inputs) {
    if (!inputs.option.isEmpty())
        return QDir::cleanPath(QDir::current().absoluteFilePath(inputs.option));
    if (inputs.programDirWritable && !underUsr(inputs.programDir))
        return inputs.programDir;
    if (inputs.uid == 0)
        return QStringLiteral("/var/log/prowlix");
    // No home: the program's directory rather than a guess at the file system's root.
    if (withoutHome(inputs))
        return inputs.programDir;
    // The XDG base directory convention ignores a relative value.
    const QString base = QDir::isAbsolutePath(inputs.stateHome)
                             ? inputs.stateHome
                             : inputs.home + QStringLiteral("/.local/state");
    return QDir::cleanPath(base + QStringLiteral("/prowlix"));
}

QString prepareLogDirectory(const QString& path, mode_t mode) {
    const QByteArray native = QFile::encodeName(path);
    struct stat info {};
    if (::stat(native.constData(), &info) != 0) {
        if (errno != ENOENT)
            return systemErrorText(errno);
        // Create each missing level in turn; one that appears meanwhile is fine.
        const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
        QString level;
        for (const QString& part : parts) {
            level += QLatin1Char('/') + part;
            if (::mkdir(QFile::encodeName(level).constData(), mode) != 0 && errno != EEXIST)
                return systemErrorText(errno);
        }
        if (::stat(native.constData(), &info) != 0)
            return systemErrorText(errno);
    }
    if (!S_ISDIR(info.st_mode))
        return systemErrorText(ENOTDIR);
    if (::access(native.constData(), W_OK | X_OK) != 0)
        return systemErrorText(errno);
    return {};
}

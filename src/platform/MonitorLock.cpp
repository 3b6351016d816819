#include "platform/MonitorLock.h"

#include "base/SystemText.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

qint64 readPid(int fd) {
    char buffer[32] = {};
    const ssize_t n = ::pread(fd, buffer, sizeof buffer - 1, 0);
    if (n <= 0)
        return 0;
    return QByteArray(buffer, n).trimmed().toLongLong();
}

} // namespace

MonitorLock::~MonitorLock() {
    if (fd_ >= 0)
        ::close(fd_);
}

MonitorLock::Outcome MonitorLock::acquire(const QString& path, qint64* holderPid, QString* error) {
    const QByteArray name = QFile::encodeName(path);
    // No link is followed and nothing but a regular file of ours is used: the folder is private,
    // but the lock decides whether tasks start.
    const int fd =
        ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) {
        *error = path + QStringLiteral(": ") + systemErrorText(errno);
        return Outcome::Failed;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
        *error = path + QStringLiteral(": not a regular file of this user");
        ::close(fd);
        return Outcome::Failed;
    }
    int rc = 0;
    do
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int cause = errno;
        if (cause != EWOULDBLOCK) {
            *error = path + QStringLiteral(": ") + systemErrorText(cause);
            ::close(fd);
            return Outcome::Failed;
        }
        // The holder writes its number right after taking the lock: a monitor started at the
        // same instant may find it still empty for a moment.
        *holderPid = readPid(fd);
        for (int attempt = 0; *holderPid == 0 && attempt < 50; ++attempt) {
            const timespec pause{0, 10 * 1000 * 1000};
            ::nanosleep(&pause, nullptr);
            *holderPid = readPid(fd);
        }
        ::close(fd);
        return Outcome::Taken;
    }
    const QByteArray pid = QByteArray::number(::getpid()) + '\n';
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.constData(), pid.size(), 0) != pid.size()) {
        *error = path + QStringLiteral(": ") + systemErrorText(errno);
        ::close(fd);
        return Outcome::Failed;
    }
    fd_ = fd;
    return Outcome::Held;
}

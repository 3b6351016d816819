#include "platform/OutputFile.h"

#include "base/SystemText.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// A regular file only, without following a link or waiting on a FIFO.
int openRegular(const QByteArray& path, int flags, QString* reason) {
    const int fd = ::open(path.constData(), flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0640);
    if (fd < 0) {
        if (reason != nullptr)
            *reason = systemErrorText(errno);
        return -1;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        if (reason != nullptr)
            *reason = QStringLiteral("not a regular file");
        return -1;
    }
    // The task writes as anywhere else: blocking, which a regular file never does for long.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool copyAll(int from, int to) {
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t got = ::read(from, buffer.data(), buffer.size());
        if (got == 0)
            return true;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(to, buffer.data() + done, static_cast<size_t>(got - done));
            if (put < 0 && errno == EINTR)
                continue;
            if (put <= 0)
                return false;
            done += put;
        }
    }
}

} // namespace

int openOutputFile(const QString& path, QString* reason) {
    return openRegular(toSystemBytes(path), O_WRONLY | O_APPEND | O_CREAT, reason);
}

QString rotateOutputFile(const QString& path, qint64 maxBytes, int backups, bool inUse) {
    const QByteArray file = toSystemBytes(path);
    struct stat info {};
    if (::lstat(file.constData(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < maxBytes)
        return {};
    const auto numbered = [&file](int n) -> QByteArray {
        return file + '.' + QByteArray::number(n);
    };
    if (backups > 0 && inUse) {
        // The copy comes first: when it fails nothing has moved and nothing is lost.
        const QByteArray partial = QByteArray(file).append(".rotating");
        QString reason;
        const int from = openRegular(file, O_RDONLY, &reason);
        if (from < 0)
            return reason;
        const int to = ::open(partial.constData(),
                              O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0640);
        const bool copied = to >= 0 && copyAll(from, to) && ::fsync(to) == 0;
        const int error = errno;
        ::close(from);
        if (to >= 0)
            ::close(to);
        if (!copied) {
            ::unlink(partial.constData());
            return systemErrorText(error);
        }
        for (int n = backups - 1; n >= 1; --n)
            ::rename(numbered(n).constData(), numbered(n + 1).constData());
        ::rename(partial.constData(), numbered(1).constData());
    } else if (backups > 0) {
        for (int n = backups - 1; n >= 1; --n)
            ::rename(numbered(n).constData(), numbered(n + 1).constData());
        if (::rename(file.constData(), numbered(1).constData()) != 0)
            return systemErrorText(errno);
        return {};
    }
    if (::truncate(file.constData(), 0) != 0)
        return systemErrorText(errno);
    return {};
}

QStringList lastOutputLines(const QString& path, int lines, int maxBytes) {
    const int fd = openRegular(toSystemBytes(path), O_RDONLY, nullptr);
    if (fd < 0 || lines <= 0 || maxBytes <= 0) {
        if (fd >= 0)
            ::close(fd);
        return {};
    }
    struct stat info {};
    ::fstat(fd, &info);
    const off_t start = std::max<off_t>(0, info.st_size - maxBytes);
    QByteArray tail(maxBytes, Qt::Uninitialized);
    const ssize_t got = ::pread(fd, tail.data(), static_cast<size_t>(maxBytes), start);
    ::close(fd);
    tail.truncate(std::max<ssize_t>(0, got));
    if (start > 0) // the first line is cut: it goes
        tail.remove(0, tail.indexOf('\n') + 1);
    if (tail.endsWith('\n'))
        tail.chop(1);
    QStringList result;
    if (tail.isEmpty())
        return result;
    const QList<QByteArray> all = tail.split('\n');
    for (qsizetype i = std::max<qsizetype>(0, all.size() - lines); i < all.size(); ++i) {
        QByteArray line = all[i];
        if (line.endsWith('\r'))
            line.chop(1);
        result << fromSystemBytes(line);
    }
    return result;
}

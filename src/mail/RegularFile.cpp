#include "mail/RegularFile.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace RegularFile {

Contents read(const QString& path, qint64 limit) {
    Contents contents;
    const auto systemError = [&contents] {
        contents.error = QString::fromLocal8Bit(std::strerror(errno));
        return contents;
    };
    // Without O_NONBLOCK, opening a FIFO waits for a writer; fstat then tells what was opened.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return systemError();
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        systemError();
    } else if (!S_ISREG(info.st_mode)) {
        contents.error = QStringLiteral("not a regular file");
    } else {
        contents.bytes.resize(static_cast<qsizetype>(std::min<qint64>(limit, info.st_size)));
        qsizetype done = 0;
        while (done < contents.bytes.size()) {
            const ssize_t got = ::read(fd, contents.bytes.data() + done,
                                       static_cast<size_t>(contents.bytes.size() - done));
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0) {
                systemError();
                break;
            }
            if (got == 0)
                break;
            done += got;
        }
        contents.bytes.truncate(done);
    }
    ::close(fd);
    if (!contents.error.isEmpty())
        contents.bytes.clear();
    return contents;
}

} // namespace RegularFile

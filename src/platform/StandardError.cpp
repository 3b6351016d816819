#include "platform/StandardError.h"

#include <QtGlobal>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

// How each kind of descriptor is written without waiting:
// - a pipe, FIFO or terminal is opened anew through /proc/self/fd with O_NONBLOCK. That gives the
//   monitor an open file description of its own: setting O_NONBLOCK on the shared one instead
//   would make the writes of every task that inherited it fail with EAGAIN. A full pipe then
//   answers EAGAIN at once, and a write of at most PIPE_BUF bytes is never split.
// - a socket (the journal's stream) is sent to with MSG_DONTWAIT, a flag of the call alone.
// - a regular file never waits for a reader and is written as it is.
// - should the reopening fail (no /proc, a terminal of another user), the descriptor is written
//   only when poll says at once that it takes data, and at most PIPE_BUF bytes a time: the one
//   remaining window is a task filling the same pipe between the poll and the write.
NonBlockingOutput::NonBlockingOutput(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return; // closed: every message is dropped
    fd_ = fd;
    if (S_ISREG(info.st_mode))
        return;
    if (S_ISSOCK(info.st_mode)) {
        way_ = Way::Socket;
        return;
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const int own = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (own < 0) {
        way_ = Way::PollFirst;
        return;
    }
    // Above the standard descriptors, which a closed standard input would otherwise lend it.
    const int high = ::fcntl(own, F_DUPFD_CLOEXEC, 3);
    ::close(own);
    if (high < 0) {
        way_ = Way::PollFirst;
        return;
    }
    fd_ = high;
    owned_ = true;
}

NonBlockingOutput::~NonBlockingOutput() {
    if (owned_)
        ::close(fd_);
}

qsizetype NonBlockingOutput::send(const char* data, qsizetype size) {
    if (fd_ < 0)
        return -1;
    const auto length = static_cast<size_t>(size);
    for (;;) {
        ssize_t n = -1;
        switch (way_) {
        case Way::Direct:
            n = ::write(fd_, data, length);
            break;
        case Way::Socket:
            n = ::send(fd_, data, length, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0 && errno == ENOTSOCK) { // a socket that only looked like one: never again
                way_ = Way::PollFirst;
                continue;
            }
            break;
        case Way::PollFirst: {
            pollfd ready{fd_, POLLOUT, 0};
            if (::poll(&ready, 1, 0) != 1)
                return -1;
            n = ::write(fd_, data, std::min<size_t>(length, PIPE_BUF));
            break;
        }
        }
        if (n < 0 && errno == EINTR)
            continue;
        return n;
    }
}

bool NonBlockingOutput::flushPending() {
    while (!pending_.isEmpty()) {
        const qsizetype n = send(pending_.constData(), pending_.size());
        if (n <= 0)
            return false;
        pending_.remove(0, n);
    }
    return true;
}

bool NonBlockingOutput::write(const QByteArray& message) {
    const std::lock_guard lock(mutex_);
    if (!flushPending()) {
        ++dropped_;
        return false;
    }
    QByteArray text;
    if (dropped_ > 0)
        text = "Prowlix: (" + QByteArray::number(dropped_) +
               (dropped_ == 1 ? " message" : " messages") +
               " dropped: standard error was not taking any)\n";
    text += message;
    const qsizetype n = send(text.constData(), text.size());
    if (n <= 0) {
        ++dropped_;
        return false;
    }
    dropped_ = 0;
    pending_ = text.mid(n);
    flushPending();
    return true;
}

quint64 NonBlockingOutput::dropped() const {
    const std::lock_guard lock(mutex_);
    return dropped_;
}

NonBlockingOutput& standardError() {
    // Never destroyed: a thread of Qt's may still report while the process exits.
    static NonBlockingOutput* const output = new NonBlockingOutput(STDERR_FILENO);
    return *output;
}

void writeStandardError(const QString& text) {
    standardError().write(QStringLiteral("Prowlix: %1\n").arg(text).toLocal8Bit());
}

void installStandardErrorMessageHandler() {
    qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext& context, const QString& text) {
            standardError().write(
                (qFormatLogMessage(type, context, text) + QLatin1Char('\n')).toLocal8Bit());
        });
}

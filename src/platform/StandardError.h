#pragma once

#include <QByteArray>
#include <QString>
#include <mutex>

// Writes to a descriptor the monitor shares with others (standard error) without ever waiting for
// its reader: a pager that is paused, a stuck log shipper or tasks filling the same pipe cost
// messages, never supervision. A message goes out whole or not at all; the ones dropped are
// counted, and the count is written before the next message that gets through.
class NonBlockingOutput final {
  public:
    explicit NonBlockingOutput(int fd);
    ~NonBlockingOutput();
    NonBlockingOutput(const NonBlockingOutput&) = delete;
    NonBlockingOutput& operator=(const NonBlockingOutput&) = delete;

    // True when the message (with the count of earlier drops) was handed to the system.
    bool write(const QByteArray& message);
    quint64 dropped() const;

  private:
    // Bytes of a message that the system took only in part (a stream socket, a terminal): the
    // rest goes before anything else, so lines never interleave.
    bool flushPending();
    qsizetype send(const char* data, qsizetype size);

    enum class Way { Direct, Socket, PollFirst };
    mutable std::mutex mutex_; // Qt may report from its own threads
    int fd_ = -1;
    bool owned_ = false;
    Way way_ = Way::Direct;
    QByteArray pending_;
    quint64 dropped_ = 0;
};

// The monitor's standard error, set up on first use. writeStandardError adds "Prowlix: " and the
// line end.
NonBlockingOutput& standardError();
void writeStandardError(const QString& text);

// Routes Qt's own warnings the same way (they would otherwise block on standard error too).
void installStandardErrorMessageHandler();

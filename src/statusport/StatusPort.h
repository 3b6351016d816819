#pragma once

#include "platform/Clock.h"
#include "platform/SocketControl.h"

#include <QObject>
#include <functional>

// The status port: while listening, every connection is accepted on Winsock2, sent exactly
// "SERVICES UP" and closed in order; when closed, connection attempts are refused.
class StatusPort final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StatusPort)

  public:
    explicit StatusPort(Clock& clock = Clock::system(), QObject* parent = nullptr);

    // Both sockets' local port = the port rounded to an integer, halves to the even neighbour.
    void setPort(double StatusPort); // throws RuntimeError("Overflow") beyond 32 bits
    // Throws RuntimeError when the port cannot be used or is already listening. A port that is
    // valid but cannot be bound (another program holds it) is tried again every retryMs until it
    // listens or close() is called; listeningAgain() then reports the success.
    void listen();
    void close();
    bool isListening() const;
    bool retrying() const { return retry_.isActive(); }
    static constexpr int retryMs = 1000;

    // Asked before each answer: the answer must be true when it is given, so the owner makes sure
    // that nothing has ended unnoticed (an event loop that stalled may hold stale news). Closing
    // the port inside it, or returning false, leaves the waiting request unanswered.
    std::function<bool()> mayAnswer;

    // Halves go to the even neighbour; throws RuntimeError("Overflow") beyond 32 bits.
    static qint32 roundPort(double StatusPort);

    SocketControl Winsock1; // listener
    SocketControl Winsock2; // answers one request at a time

  Q_SIGNALS:
    void listeningAgain();

  private:
    void Winsock1_ConnectionRequest(qintptr requestID);
    void Winsock2_SendComplete();
    void tryAgain();

    ClockTimer retry_;
};

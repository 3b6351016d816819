#pragma once

#include "SocketControl.h"

#include <QObject>

// The status port: while listening, every connection is accepted on Winsock2, sent exactly
// "SERVICES UP" and closed; when closed, connection attempts are refused.
class StatusPort final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StatusPort)

  public:
    explicit StatusPort(QObject* parent = nullptr);

    // Both sockets' local port = the port rounded to an integer, halves to the even neighbour.
    void setPort(double StatusPort); // throws RuntimeError("Overflow") beyond 32 bits
    void listen(); // throws RuntimeError when the port cannot be used or is already listening
    void close();
    bool isListening() const;

    // Halves go to the even neighbour; throws RuntimeError("Overflow") beyond 32 bits.
    static qint32 roundPort(double StatusPort);

    SocketControl Winsock1; // listener
    SocketControl Winsock2; // answers one request at a time

  private:
    void Winsock1_ConnectionRequest(qintptr requestID);
    void Winsock2_SendComplete();
};

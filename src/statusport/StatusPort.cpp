#include "statusport/StatusPort.h"

#include "base/Rounding.h"
#include "base/RuntimeError.h"

#include <cmath>
#include <limits>

StatusPort::StatusPort(Clock& clock, QObject* parent) : QObject(parent), retry_(clock) {
    retry_.setInterval(retryMs);
    connect(&retry_, &ClockTimer::timeout, this, &StatusPort::tryAgain);
    connect(&Winsock1, &SocketControl::ConnectionRequest, this,
            &StatusPort::Winsock1_ConnectionRequest);
    connect(&Winsock2, &SocketControl::SendComplete, this, &StatusPort::Winsock2_SendComplete);
}

qint32 StatusPort::roundPort(double StatusPort) {
    // A number that does not fit the port property is a run-time error, as any overflowing
    // conversion is; a value that fits but is no TCP port is left for Listen to refuse.
    if (!std::isfinite(StatusPort) || std::fabs(StatusPort) > std::numeric_limits<qint32>::max())
        throw RuntimeError(QStringLiteral("Overflow"));
    return static_cast<qint32>(roundHalfEven(StatusPort));
}

void StatusPort::setPort(double StatusPort) {
    Winsock1.LocalPort = roundPort(StatusPort);
    Winsock2.LocalPort = Winsock1.LocalPort;
}

void StatusPort::listen() {
    const bool wasListening = isListening();
    try {
        Winsock1.Listen();
        retry_.stop();
    } catch (const RuntimeError&) {
        // A port held for a moment by another program must not leave the port closed for good;
        // a number that is no TCP port never becomes one.
        if (!wasListening && Winsock1.LocalPort >= 1 && Winsock1.LocalPort <= 65535)
            retry_.start();
        throw;
    }
}

void StatusPort::close() {
    retry_.stop();
    Winsock1.Close();
}

void StatusPort::tryAgain() {
    try {
        Winsock1.Listen();
    } catch (const RuntimeError&) {
        return; // reported once, when the first attempt failed
    }
    retry_.stop();
    Q_EMIT listeningAgain();
}

bool StatusPort::isListening() const {
    return Winsock1.State() == SocketControl::sckListening;
}

void StatusPort::Winsock1_ConnectionRequest(qintptr requestID) {
    // Unaccepted, the request is closed by the listener: the client gets no answer.
    if (mayAnswer && !mayAnswer())
        return;
    if (!isListening())
        return;
    // A connection still being served is dropped in favour of the new request.
    if (Winsock2.State() != SocketControl::sckClosed)
        Winsock2.Close();
    // Errors are ignored: the client then sees its connection closed without the text.
    try {
        Winsock2.Accept(requestID);
    } catch (const RuntimeError&) {
    }
    if (Winsock2.State() == SocketControl::sckConnected) {
        try {
            Winsock2.SendData(QStringLiteral("SERVICES UP"));
        } catch (const RuntimeError&) {
        }
    }
}

void StatusPort::Winsock2_SendComplete() {
    if (Winsock2.State() != SocketControl::sckClosed)
        Winsock2.Close();
}

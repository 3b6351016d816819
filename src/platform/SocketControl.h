#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QTcpServer;
class QTcpSocket;

// The monitor's TCP socket control: a listener that reports connection requests, accept of
// a request on a second control that answers and closes. Events arrive through the event
// loop. Methods that cannot do their work throw RuntimeError with a description.
class SocketControl final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SocketControl)

  public:
    enum StateValue : qint16 {
        sckClosed = 0,
        sckListening = 2,
        sckConnecting = 6,
        sckConnected = 7,
        sckClosing = 8,
        sckError = 9,
    };

    // An accepted connection's data is never read; this caps what Qt buffers of it, so a
    // client that keeps sending is held back by TCP flow control instead of growing memory.
    static constexpr qint64 answeringReadBufferSize = 4096;

    static constexpr int listenBacklog = 65535;

    explicit SocketControl(QObject* parent = nullptr);
    ~SocketControl() override;

    qint32 LocalPort = 0;

    qint16 State() const;

    void Listen();
    void Accept(qintptr requestID);
    void SendData(const QString& text); // sent in the locale's encoding, unchanged
    void Close();

    // The port actually bound by Listen.
    quint16 boundPort() const;

    // Ends a connection in order: what the peer sent and nobody read is discarded, the sending side
    // is shut after what is queued (the peer sees the answer, then end of stream, never a reset
    // for data it sent first), and what still arrives is read and dropped until the peer closes
    // or a short while has passed. Takes the socket over; the caller must not use it again.
    static void closeOrderly(QTcpSocket* socket);
    static constexpr int lingerMs = 2000;
    // Connections draining at once; beyond it a connection is closed right after its input is
    // discarded, so a burst cannot hold descriptors.
    static constexpr int maxLingering = 256;
    static int lingering();

    // Binds a listener the way every port of the monitor is bound: ports 1 to 65535 only, on all
    // addresses, on IPv4 alone where the host has no IPv6. Throws RuntimeError with the reason.
    static void listenOnAllAddresses(QTcpServer& server, qint32 port);

  Q_SIGNALS:
    void ConnectionRequest(qintptr requestID);
    void SendComplete();

  private:
    class Server;
    void adopt(QTcpSocket* socket);
    void onBytesWritten(qint64 bytes);
    void completeIfIdle();
    void dropSocket();
    void requireClosed() const;

    Server* server_ = nullptr;
    QTcpSocket* socket_ = nullptr;
    qint64 unsent_ = 0;
    bool failed_ = false;
};

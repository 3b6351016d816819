#include "platform/SocketControl.h"

#include "base/RuntimeError.h"

#include <QSet>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// Requests reported but not yet taken over. Accept only adopts descriptors listed here, so a
// caller cannot make a control take over an arbitrary descriptor of the process.
QSet<qintptr>& pendingRequests() {
    static QSet<qintptr> requests;
    return requests;
}
// Reads and drops what has arrived; true when the peer has closed its side or the connection
// failed.
bool discardInput(int fd) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0)
            continue;
        return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
    }
}

class Lingerer;
// Every connection still draining; their number is what maxLingering caps.
QSet<Lingerer*>& lingerers() {
    static QSet<Lingerer*> all;
    return all;
}

// Holds a connection whose sending side is shut until the peer closes or the time is up, so data
// the peer still sends meanwhile cannot turn the close into a reset.
class Lingerer final : public QObject {
  public:
    explicit Lingerer(int fd) : fd_(fd), notifier_(fd, QSocketNotifier::Read) {
        lingerers().insert(this);
        connect(&notifier_, &QSocketNotifier::activated, this, [this] {
            if (discardInput(fd_))
                finish();
        });
        timer_.setSingleShot(true);
        connect(&timer_, &QTimer::timeout, this, &Lingerer::finish);
        timer_.start(SocketControl::lingerMs);
    }
    ~Lingerer() override {
        notifier_.setEnabled(false);
        discardInput(fd_);
        ::close(fd_);
        lingerers().remove(this);
    }

  private:
    void finish() {
        notifier_.setEnabled(false);
        timer_.stop();
        deleteLater();
    }
    int fd_;
    QSocketNotifier notifier_;
    QTimer timer_;
};

} // namespace

// Reports each incoming connection instead of queueing it; whatever the handler does not
// accept is closed at once, so an ignored request never leaks a descriptor.
class SocketControl::Server final : public QTcpServer {
  public:
    explicit Server(SocketControl* owner) : QTcpServer(owner), owner_(owner) {}

  protected:
    void incomingConnection(qintptr descriptor) override {
        pendingRequests().insert(descriptor);
        try {
            Q_EMIT owner_->ConnectionRequest(descriptor);
        } catch (...) {
            // No exception may escape into Qt; the request is simply refused below.
        }
        if (pendingRequests().remove(descriptor))
            ::close(static_cast<int>(descriptor));
    }

  private:
    SocketControl* owner_;
};

SocketControl::SocketControl(QObject* parent) : QObject(parent) {}

SocketControl::~SocketControl() {
    Close();
}

qint16 SocketControl::State() const {
    if (server_ != nullptr)
        return sckListening;
    if (failed_)
        return sckError;
    if (socket_ == nullptr)
        return sckClosed;
    switch (socket_->state()) {
    case QAbstractSocket::HostLookupState:
    case QAbstractSocket::ConnectingState:
        return sckConnecting;
    case QAbstractSocket::ConnectedState:
        return sckConnected;
    case QAbstractSocket::ClosingState:
        return sckClosing;
    default:
        return sckClosed;
    }
}

void SocketControl::requireClosed() const {
    // A control whose connection failed counts as closed: it holds nothing any more.
    const qint16 state = State();
    if (state != sckClosed && state != sckError)
        throw RuntimeError(QStringLiteral("Invalid operation at current state"));
}

void SocketControl::Listen() {
    requireClosed();
    Close(); // clears a previous error state
    auto* server = new Server(this);
    try {
        listenOnAllAddresses(*server, LocalPort);
    } catch (const RuntimeError&) {
        delete server;
        throw;
    }
    server_ = server;
}

void SocketControl::listenOnAllAddresses(QTcpServer& server, qint32 port) {
    // Port 0 would bind a port chosen by the system, which no checker could know of.
    if (port < 1 || port > 65535)
        throw RuntimeError(QStringLiteral("Invalid port number ") + QString::number(port) +
                           QStringLiteral(": a port must lie between 1 and 65535"));
    // A burst of thousands of connections waits in the queue to be answered instead of hanging
    // unanswered; the system caps the figure at its own limit (net.core.somaxconn).
    server.setListenBacklogSize(listenBacklog);
    const auto number = static_cast<quint16>(port);
    bool ok = server.listen(QHostAddress::Any, number);
    if (!ok && server.serverError() == QAbstractSocket::UnsupportedSocketOperationError)
        ok = server.listen(QHostAddress::AnyIPv4, number); // a host without IPv6
    if (!ok)
        throw RuntimeError(QStringLiteral("Unable to listen on port ") + QString::number(number) +
                           QStringLiteral(": ") + server.errorString());
}

void SocketControl::Accept(qintptr requestID) {
    requireClosed();
    if (!pendingRequests().contains(requestID))
        throw RuntimeError(QStringLiteral("Invalid connection request ") +
                           QString::number(requestID));
    Close();
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(requestID)) {
        const QString reason = socket->errorString();
        delete socket; // the descriptor stays pending and the listener closes it
        throw RuntimeError(QStringLiteral("Unable to accept the connection: ") + reason);
    }
    pendingRequests().remove(requestID);
    socket->setReadBufferSize(answeringReadBufferSize);
    adopt(socket);
}

void SocketControl::adopt(QTcpSocket* socket) {
    socket_ = socket;
    failed_ = false;
    unsent_ = 0;
    connect(socket, &QTcpSocket::bytesWritten, this, &SocketControl::onBytesWritten);
    connect(socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        // A peer that hangs up has merely closed the connection; anything else is an error.
        if (error != QAbstractSocket::RemoteHostClosedError)
            failed_ = true;
    });
}

void SocketControl::SendData(const QString& text) {
    if (State() != sckConnected)
        throw RuntimeError(QStringLiteral("Wrong protocol or connection state for the requested "
                                          "transaction or request"));
    const QByteArray bytes = text.toLocal8Bit();
    if (unsent_ == 0 && socket_->bytesToWrite() == 0 && !bytes.isEmpty()) {
        // A short answer fits a fresh connection's send buffer: handed to the system at once, it
        // also reaches a client that half-closed before reading, whose end of stream would make
        // Qt drop its own buffer unsent.
        const ssize_t sent =
            ::send(static_cast<int>(socket_->socketDescriptor()), bytes.constData(),
                   static_cast<size_t>(bytes.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent == bytes.size()) {
            QMetaObject::invokeMethod(this, &SocketControl::completeIfIdle, Qt::QueuedConnection);
            return;
        }
        if (sent > 0) {
            unsent_ = bytes.size() - sent;
            if (socket_->write(bytes.mid(sent)) != unsent_) {
                unsent_ = 0;
                throw RuntimeError(QStringLiteral("Unable to send: ") + socket_->errorString());
            }
            return;
        }
    }
    if (bytes.isEmpty()) {
        // Nothing to write means nothing will be reported written: complete it from the loop,
        // so a caller that closes on completion is not left waiting.
        if (unsent_ == 0)
            QMetaObject::invokeMethod(this, &SocketControl::completeIfIdle, Qt::QueuedConnection);
        return;
    }
    unsent_ += bytes.size();
    if (socket_->write(bytes) != bytes.size()) {
        unsent_ = 0;
        throw RuntimeError(QStringLiteral("Unable to send: ") + socket_->errorString());
    }
}

void SocketControl::onBytesWritten(qint64 bytes) {
    if (unsent_ <= 0)
        return;
    unsent_ -= bytes;
    if (unsent_ <= 0) {
        unsent_ = 0;
        Q_EMIT SendComplete();
    }
}

void SocketControl::completeIfIdle() {
    if (socket_ != nullptr && unsent_ == 0)
        Q_EMIT SendComplete();
}

void SocketControl::Close() {
    if (server_ != nullptr) {
        server_->close();
        server_->deleteLater();
        server_ = nullptr;
    }
    dropSocket();
    failed_ = false;
    unsent_ = 0;
}

void SocketControl::dropSocket() {
    if (socket_ == nullptr)
        return;
    QTcpSocket* socket = socket_;
    socket_ = nullptr;
    socket->disconnect(this);
    closeOrderly(socket);
}

void SocketControl::closeOrderly(QTcpSocket* socket) {
    socket->flush(); // hand what is still queued to the system before the descriptor goes
    // The descriptor is kept beyond the socket object, which Qt closes without any shutdown.
    const auto descriptor = static_cast<int>(socket->socketDescriptor());
    const int fd = descriptor >= 0 ? ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0) : -1;
    socket->abort();
    // This may run inside one of the socket's own signals: delete it from the event loop.
    socket->deleteLater();
    if (fd < 0)
        return;
    const bool peerClosed = discardInput(fd);
    ::shutdown(fd, SHUT_WR);
    if (peerClosed || lingerers().size() >= maxLingering) {
        discardInput(fd);
        ::close(fd);
        return;
    }
    new Lingerer(fd);
}

int SocketControl::lingering() {
    return static_cast<int>(lingerers().size());
}

quint16 SocketControl::boundPort() const {
    return server_ != nullptr ? server_->serverPort() : 0;
}

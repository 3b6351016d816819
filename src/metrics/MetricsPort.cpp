#include "metrics/MetricsPort.h"

#include "base/RuntimeError.h"
#include "log/Guarded.h"
#include "log/Log.h"
#include "log/SettingUnusable.h"
#include "metrics/Exposition.h"
#include "metrics/HttpRequest.h"
#include "platform/SocketControl.h"
#include "platform/Version.h"
#include "statusport/StatusPort.h"
#include "tasks/TaskTable.h"

#include <QDateTime>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <unistd.h>

namespace {

QByteArray response(const char* status, const QByteArray& contentType, const QByteArray& body,
                    const QByteArray& extraHeaders = {}) {
    return QByteArray("HTTP/1.1 ") + status + "\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n" +
           extraHeaders + "\r\n" + body;
}

QByteArray errorResponse(const char* status, const QByteArray& text,
                         const QByteArray& extraHeaders = {}) {
    return response(status, "text/plain; charset=utf-8", text + '\n', extraHeaders);
}

} // namespace

// Each connection's socket caps its read buffer before it reads anything, so a client cannot
// fill memory even while it waits in the pending list.
class MetricsPort::Server final : public QTcpServer {
  public:
    explicit Server(QObject* parent) : QTcpServer(parent) {}

  protected:
    void incomingConnection(qintptr descriptor) override {
        auto* socket = new QTcpSocket(this);
        socket->setReadBufferSize(maxRequestBytes);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            ::close(static_cast<int>(descriptor));
            return;
        }
        addPendingConnection(socket);
    }
};

// One client: its request head is collected up to the size cap and the deadline, then answered
// and the connection closed in order once the answer is out.
class MetricsPort::Connection final : public QObject {
  public:
    Connection(MetricsPort& owner, QTcpSocket* socket)
        : QObject(&owner), owner_(owner), socket_(socket), deadline_(owner.clock_) {
        socket_->setParent(this);
        deadline_.setSingleShot(true);
        connect(&deadline_, &ClockTimer::timeout, this, &Connection::finish);
        deadline_.start(requestTimeoutMs);
        connect(socket_, &QTcpSocket::readyRead, this, &Connection::onReadyRead);
        connect(socket_, &QTcpSocket::bytesWritten, this, &Connection::onBytesWritten);
        connect(socket_, &QTcpSocket::disconnected, this, &Connection::finish);
        connect(socket_, &QTcpSocket::errorOccurred, this,
                [this](QAbstractSocket::SocketError error) {
                    // A peer that half-closes after its request still gets the answer.
                    if (error != QAbstractSocket::RemoteHostClosedError || !answered_)
                        finish();
                });
        // A client that left while it waited holds no place.
        if (socket_->state() == QAbstractSocket::UnconnectedState)
            QMetaObject::invokeMethod(this, &Connection::finish, Qt::QueuedConnection);
    }
    ~Connection() override {
        if (socket_ != nullptr)
            socket_->disconnect(this);
    }

    bool answered() const { return answered_; }
    qint64 unsent() const { return socket_ != nullptr ? socket_->bytesToWrite() : 0; }

    void onReadyRead() {
        if (done_)
            return;
        const QByteArray bytes = socket_->readAll();
        if (answered_)
            return; // a body or anything after the head is read and dropped
        received_ += bytes;
        const HttpRequest request = HttpRequest::parse(received_);
        switch (request.outcome) {
        case HttpRequest::Outcome::Incomplete:
            if (received_.size() >= maxRequestBytes)
                send(
                    errorResponse("431 Request Header Fields Too Large", "Request head too large"));
            return;
        case HttpRequest::Outcome::Malformed:
            send(errorResponse("400 Bad Request", "Malformed request"));
            return;
        case HttpRequest::Outcome::Complete:
            break;
        }
        QByteArray answer = owner_.answer(request);
        if (request.method == "HEAD")
            answer.truncate(answer.indexOf("\r\n\r\n") + 4);
        send(answer);
    }

    void finish() {
        if (done_)
            return;
        done_ = true;
        deadline_.stop();
        if (socket_ != nullptr) {
            socket_->disconnect(this);
            socket_->abort();
        }
        // This may run inside one of the socket's own signals.
        deleteLater();
        owner_.connectionEnded(this);
    }

  private:
    void send(const QByteArray& answer) {
        answered_ = true;
        received_ = QByteArray();
        deadline_.start(answerTimeoutMs); // a client that never reads meets it
        socket_->write(answer);
        owner_.keepWithinBudget(this);
    }

    void onBytesWritten() {
        if (done_ || !answered_ || socket_->bytesToWrite() > 0)
            return;
        // The whole answer is with the system: the client gets it and end of stream, never a
        // reset for the rest of a request it was still sending.
        QTcpSocket* socket = socket_;
        socket_ = nullptr;
        socket->disconnect(this);
        socket->setParent(nullptr);
        SocketControl::closeOrderly(socket);
        finish();
    }

    MetricsPort& owner_;
    QTcpSocket* socket_;
    ClockTimer deadline_;
    QByteArray received_;
    bool answered_ = false;
    bool done_ = false;
};

MetricsPort::MetricsPort(const TaskTable& tasks, std::function<AlertFigures()> alerts,
                         const StatusPort& statusPort, Log& log, Clock& clock, QObject* parent)
    : QObject(parent), tasks_(tasks), alerts_(std::move(alerts)), statusPort_(statusPort),
      log_(log), clock_(clock), startedMs_(clock.wallTime().toMSecsSinceEpoch()), resume_(clock) {
    resume_.setSingleShot(true);
    connect(&resume_, &ClockTimer::timeout, this, [this] {
        if (server_ != nullptr)
            server_->resumeAccepting();
    });
}

MetricsPort::~MetricsPort() {
    stop();
}

void MetricsPort::start(const QString& setting) {
    const QString value = setting.trimmed();
    if (value.isEmpty())
        return;
    stop();
    guarded(
        log_,
        [&] {
            bool ok = false;
            const double number = value.toDouble(&ok);
            if (!ok)
                throw RuntimeError(QStringLiteral("not a port number"));
            const qint32 port = StatusPort::roundPort(number);
            // Taking the status port's number would keep the status port from ever opening.
            if (port == statusPort_.Winsock1.LocalPort)
                throw RuntimeError(QStringLiteral("port ") + QString::number(port) +
                                   QStringLiteral(" is the status port"));
            auto* server = new Server(this);
            // Each accepted client is given a place at once (the oldest slow one gives up its own).
            server->setMaxPendingConnections(1);
            server->setListenBacklogSize(1024);
            try {
                SocketControl::listenOnAllAddresses(*server, port);
            } catch (const RuntimeError&) {
                delete server;
                throw;
            }
            server_ = server;
            connect(server_, &QTcpServer::newConnection, this, &MetricsPort::takeConnections);
            // Running out of descriptors pauses the listener; it tries again a second later.
            connect(server_, &QTcpServer::acceptError, this, [this] { resume_.start(1000); });
            log_.WriteLog(QStringLiteral("METRICS PORT: ") + QString::number(port));
        },
        [&](const QString& description) -> QString {
            return settingUnusable(QStringLiteral("METRICS_PORT"), value, description,
                                   QStringLiteral("metrics are off"));
        });
}

void MetricsPort::stop() {
    if (server_ == nullptr)
        return;
    resume_.stop();
    server_->close();
    server_->deleteLater();
    server_ = nullptr;
}

quint16 MetricsPort::boundPort() const {
    return server_ != nullptr ? server_->serverPort() : 0;
}

void MetricsPort::takeConnections() {
    while (server_ != nullptr && server_->hasPendingConnections()) {
        QTcpSocket* socket = server_->nextPendingConnection();
        if (socket == nullptr)
            break;
        if (open_ >= maxConnections)
            evictOne();
        ++open_;
        auto* connection = new Connection(*this, socket);
        connections_.append(connection);
        connection->onReadyRead(); // what arrived while the connection waited
    }
}

void MetricsPort::evictOne() {
    // A client still sending its request is the slow one; a scrape sends its request at once.
    const auto slow = std::find_if(connections_.cbegin(), connections_.cend(),
                                   [](const Connection* c) { return !c->answered(); });
    Connection* oldest = slow != connections_.cend() ? *slow : connections_.front();
    oldest->finish();
}

void MetricsPort::keepWithinBudget(const Connection* keep) {
    qint64 total = 0;
    for (const Connection* connection : std::as_const(connections_))
        total += connection->unsent();
    for (qsizetype i = 0; total > maxUnsentBytes && i < connections_.size();) {
        Connection* connection = connections_[i];
        if (connection == keep || connection->unsent() == 0) {
            ++i;
            continue;
        }
        total -= connection->unsent();
        connection->finish(); // leaves the list
    }
}

void MetricsPort::connectionEnded(Connection* connection) {
    if (connections_.removeOne(connection))
        --open_;
}

QByteArray MetricsPort::exposition() const {
    MonitorFigures figures;
    const AlertFigures alerts = alerts_();
    figures.alertsSent = alerts.sent;
    figures.alertsFailed = alerts.failed;
    figures.alertsQueued = alerts.queued;
    figures.statusPortOpen = statusPort_.isListening();
    figures.startedMs = startedMs_;
    figures.version = QLatin1String(Version::text);
    return Exposition::render(tasks_, figures);
}

QByteArray MetricsPort::answer(const HttpRequest& request) const {
    if (request.path != "/metrics")
        return errorResponse("404 Not Found", "Not found: the metrics are at /metrics");
    if (request.method != "GET" && request.method != "HEAD")
        return errorResponse("405 Method Not Allowed", "Method not allowed",
                             "Allow: GET, HEAD\r\n");
    return response("200 OK", Exposition::contentType, exposition());
}

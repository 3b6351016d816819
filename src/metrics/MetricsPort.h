#pragma once

#include "platform/Clock.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <functional>

class Log;
class StatusPort;
class TaskTable;
struct HttpRequest;

// The metrics endpoint: GET or HEAD /metrics answers the Prometheus text exposition of the task
// table and the monitor's own figures. One request per connection, answered and closed in order.
// A client that sends too much, too slowly or nothing at all is cut off. The places are many and
// each holds little; when all are taken, the oldest client that has not finished its request (or
// else the oldest of all) gives up its place, so a new client is always served and slow clients
// cannot starve a scraper, while memory and descriptors stay bounded whatever their number.
class MetricsPort final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MetricsPort)

  public:
    static constexpr int maxConnections = 256;
    static constexpr qsizetype maxRequestBytes = 8192;
    // Answers not yet taken by their clients, over all connections; beyond it the oldest
    // answering clients are cut off.
    static constexpr qint64 maxUnsentBytes = 16 * 1024 * 1024;
    static constexpr int requestTimeoutMs = 3000; // from accept until the request head is in
    static constexpr int answerTimeoutMs = 10000; // for the client to take the answer

    // The alert queue's figures, read at each scrape from the layer that sends the alerts.
    struct AlertFigures {
        quint64 sent = 0;
        quint64 failed = 0;
        quint64 queued = 0;
    };

    MetricsPort(const TaskTable& tasks, std::function<AlertFigures()> alerts,
                const StatusPort& statusPort, Log& log, Clock& clock = Clock::system(),
                QObject* parent = nullptr);
    ~MetricsPort() override;

    // Starts listening on the port a METRICS_PORT value names; an empty value leaves the
    // endpoint off. A value that cannot be used is one logged event and leaves it off.
    void start(const QString& setting);
    void stop();

    bool isListening() const { return server_ != nullptr; }
    quint16 boundPort() const;
    int openConnections() const { return open_; }

    // The exposition as it stands now.
    QByteArray exposition() const;

  private:
    class Connection;
    class Server;
    friend class Connection;

    void takeConnections();
    void connectionEnded(Connection* connection);
    void evictOne();
    void keepWithinBudget(const Connection* keep);
    QByteArray answer(const HttpRequest& request) const;

    const TaskTable& tasks_;
    std::function<AlertFigures()> alerts_;
    const StatusPort& statusPort_;
    Log& log_;
    Clock& clock_;
    qint64 startedMs_;
    Server* server_ = nullptr;
    ClockTimer resume_; // accepting again after running out of descriptors
    int open_ = 0;
    QList<Connection*> connections_; // oldest first
};

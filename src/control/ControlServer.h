#pragma once

#include "control/ControlSocket.h"
#include "platform/Clock.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <optional>

struct ControlRequest;
class Log;
class QLocalServer;
class QLocalSocket;
class TaskFunctions;
class TaskTable;

// The monitor's control socket: one JSON request per line in, one JSON reply per line out
// (docs/CONTROL.md). Only root, the monitor's user and CONTROL_GROUP may speak to it; at most
// maxClients are served at once, and a client that sends a line too long or stays silent too
// long is closed, so that no client can hold the monitor.
class ControlServer final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ControlServer)

  public:
    static constexpr int maxClients = 32;
    static constexpr int silentMs = 5000;
    // Replies held for a client that does not read them, beyond which its requests wait.
    static constexpr qint64 maxPendingReplyBytes = 1024 * 1024;

    ControlServer(TaskTable& tasks, TaskFunctions& functions, Log& log,
                  Clock& clock = Clock::system(), QObject* parent = nullptr);
    ~ControlServer() override; // closes, as close() does

    // The CONTROL, CONTROL_SOCKET and CONTROL_GROUP values; configuration names the socket in the
    // runtime directory when CONTROL_SOCKET is not given. A problem is logged and leaves the
    // control off; supervision goes on.
    void start(const QString& control, const QString& socketPath, const QString& group,
               const QString& configuration);
    // Stops listening and removes the socket file, if it is still the one this server made.
    void close();

    bool listening() const { return server_ != nullptr; }
    const QString& path() const { return path_; }
    int clientCount() const { return static_cast<int>(clients_.size()); }
    qint64 pendingReplyBytes() const; // written to the clients and not yet taken by the system

    // The reply to one request line from that peer, without its newline.
    QByteArray answer(const QByteArray& line, const ControlSocket::Peer& peer);

  private:
    struct Client;
    void accept();
    void readFrom(QLocalSocket* socket);
    void drop(QLocalSocket* socket);
    static void closeLater(QLocalSocket* socket);
    QJsonObject handle(const ControlRequest& request, const ControlSocket::Peer& peer);
    // The task positions the names select, in order and once each; an error reply when one
    // selects none or several.
    std::optional<QList<int>> select(const QStringList& wanted, QJsonObject& error) const;
    QJsonObject info();
    QJsonObject act(const QString& verb, const QList<int>& positions, const QString& who);

    TaskTable& tasks_;
    TaskFunctions& functions_;
    Log& log_;
    Clock& clock_;
    QLocalServer* server_ = nullptr;
    QString path_;
    QString configuration_;
    std::optional<gid_t> group_;
    dev_t device_ = 0; // of the socket file made, so that close() removes no one else's
    ino_t inode_ = 0;
    QHash<QLocalSocket*, Client*> clients_;
};

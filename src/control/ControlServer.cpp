#include "control/ControlServer.h"

#include "control/ControlRequest.h"
#include "control/TaskReport.h"
#include "log/Log.h"
#include "platform/RuntimeDirectory.h"
#include "platform/Version.h"
#include "tasks/TaskFunctions.h"
#include "tasks/TaskTable.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <sys/stat.h>
#include <unistd.h>

struct ControlServer::Client {
    // Owned by the socket, which goes later: a client is dropped from the timer's own signal.
    ClockTimer* silence;
    QByteArray buffer;
    ControlSocket::Peer peer;
    Client(Clock& clock, QLocalSocket* socket) : silence(new ClockTimer(clock, socket)) {}
};

namespace {

QJsonObject failure(int code, const QString& text) {
    return QJsonObject{{QStringLiteral("ok"), false},
                       {QStringLiteral("code"), code},
                       {QStringLiteral("error"), text}};
}

QByteArray line(const QJsonObject& reply) {
    return QJsonDocument(reply).toJson(QJsonDocument::Compact) + '\n';
}

} // namespace

ControlServer::ControlServer(TaskTable& tasks, TaskFunctions& functions, Log& log, Clock& clock,
                             QObject* parent)
    : QObject(parent), tasks_(tasks), functions_(functions), log_(log), clock_(clock) {}

ControlServer::~ControlServer() {
    close();
}

void ControlServer::start(const QString& control, const QString& socketPath, const QString& group,
                          const QString& configuration) {
    if (control.trimmed().toUpper() == QLatin1String("OFF"))
        return;
    configuration_ = configuration;
    const auto refuse = [this](const QString& reason) {
        log_.WriteLog(QStringLiteral("CONTROL: off: ") + reason);
    };
    if (!group.trimmed().isEmpty()) {
        group_ = ControlSocket::groupId(group.trimmed());
        if (!group_)
            return refuse(QStringLiteral("CONTROL_GROUP: no group ") + group.trimmed());
    }
    QString path = socketPath.trimmed();
    if (path.isEmpty()) {
        QString problem;
        const QString directory = RuntimeDirectory::locate(&problem);
        if (directory.isEmpty())
            return refuse(problem);
        path = directory + QLatin1Char('/') + RuntimeDirectory::baseName(configuration) +
               QStringLiteral(".sock");
    }
    const ControlSocket::Listening listening = ControlSocket::listen(path, group_);
    if (listening.fd < 0)
        return refuse(listening.error);
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) == 0) {
        device_ = info.st_dev;
        inode_ = info.st_ino;
    }
    server_ = new QLocalServer(this);
    if (!server_->listen(listening.fd)) {
        ::close(listening.fd);
        delete server_;
        server_ = nullptr;
        ::unlink(QFile::encodeName(path).constData());
        return refuse(path + QStringLiteral(": cannot listen"));
    }
    path_ = path;
    connect(server_, &QLocalServer::newConnection, this, &ControlServer::accept);
}

void ControlServer::close() {
    for (auto it = clients_.begin(); it != clients_.end(); ++it) {
        it.key()->disconnect(this);
        it.key()->abort();
        it.key()->deleteLater();
        delete it.value();
    }
    clients_.clear();
    if (server_ == nullptr)
        return;
    delete server_;
    server_ = nullptr;
    const QByteArray bytes = QFile::encodeName(path_);
    struct stat info {};
    if (::stat(bytes.constData(), &info) == 0 && info.st_dev == device_ && info.st_ino == inode_)
        ::unlink(bytes.constData());
}

void ControlServer::closeLater(QLocalSocket* socket) {
    // What was written goes out first; the socket goes once it has.
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    socket->disconnectFromServer();
    if (socket->state() == QLocalSocket::UnconnectedState)
        socket->deleteLater();
}

void ControlServer::accept() {
    while (server_ != nullptr && server_->hasPendingConnections()) {
        QLocalSocket* socket = server_->nextPendingConnection();
        const auto peer = ControlSocket::peerOf(static_cast<int>(socket->socketDescriptor()));
        QString refusal;
        if (clients_.size() >= maxClients)
            refusal = QStringLiteral("busy: too many clients; try again");
        else if (!peer || !ControlSocket::mayControl(*peer, group_))
            refusal = QStringLiteral("permission denied: uid ") +
                      (peer ? QString::number(peer->uid) : QStringLiteral("unknown")) +
                      QStringLiteral(" may not control this monitor");
        if (!refusal.isEmpty()) {
            // Written without waiting: a client that does not read gets the close alone.
            socket->write(line(failure(1, refusal)));
            closeLater(socket);
            continue;
        }
        auto* client = new Client(clock_, socket);
        client->peer = *peer;
        client->silence->setSingleShot(true);
        client->silence->setInterval(silentMs);
        clients_.insert(socket, client);
        connect(client->silence, &ClockTimer::timeout, this, [this, socket] { drop(socket); });
        socket->setReadBufferSize(ControlRequest::maxLineBytes + 1);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QLocalSocket::bytesWritten, this, [this, socket] {
            // A client that reads its replies is not silent.
            if (Client* client = clients_.value(socket)) {
                client->silence->start();
                readFrom(socket);
            }
        });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] { drop(socket); });
        client->silence->start();
        if (socket->bytesAvailable() > 0)
            readFrom(socket);
    }
}

void ControlServer::drop(QLocalSocket* socket) {
    Client* client = clients_.take(socket);
    if (client == nullptr)
        return;
    client->silence->stop();
    delete client;
    socket->disconnect(this);
    closeLater(socket);
}

void ControlServer::readFrom(QLocalSocket* socket) {
    Client* client = clients_.value(socket);
    for (;;) {
        if (client == nullptr)
            return;
        // A client that asks without reading would make the monitor hold every reply: requests
        // wait until it has read what is written (bytesWritten resumes them).
        if (socket->bytesToWrite() > maxPendingReplyBytes)
            return;
        const qsizetype end = client->buffer.indexOf('\n');
        if (end < 0 ? client->buffer.size() > ControlRequest::maxLineBytes
                    : end > ControlRequest::maxLineBytes) {
            socket->write(line(failure(1, QStringLiteral("request longer than 64 KiB"))));
            drop(socket);
            return;
        }
        if (end < 0) {
            if (socket->bytesAvailable() == 0)
                return;
            // In bounded pieces, so that unread requests stay in the system's buffer.
            client->buffer += socket->read(ControlRequest::maxLineBytes + 1);
            client->silence->start();
            continue;
        }
        QByteArray request = client->buffer.left(end);
        client->buffer.remove(0, end + 1);
        if (request.endsWith('\r'))
            request.chop(1);
        if (request.trimmed().isEmpty())
            continue;
        // A request may stop or start tasks and so let events run; the client may be gone after.
        const ControlSocket::Peer peer = client->peer;
        const QByteArray reply = answer(request, peer);
        client = clients_.value(socket);
        if (client != nullptr)
            socket->write(reply + '\n');
    }
}

qint64 ControlServer::pendingReplyBytes() const {
    qint64 sum = 0;
    for (auto it = clients_.cbegin(); it != clients_.cend(); ++it)
        sum += it.key()->bytesToWrite();
    return sum;
}

QByteArray ControlServer::answer(const QByteArray& request, const ControlSocket::Peer& peer) {
    QString error;
    const auto parsed = ControlRequest::parse(request, &error);
    const QJsonObject reply = parsed ? handle(*parsed, peer) : failure(1, error);
    return QJsonDocument(reply).toJson(QJsonDocument::Compact);
}

std::optional<QList<int>> ControlServer::select(const QStringList& wanted,
                                                QJsonObject& error) const {
    const int bound = tasks_.upperBound();
    QList<int> chosen;
    QList<bool> taken(bound + 1, false);
    const auto take = [&](int p) {
        if (!taken[p]) {
            taken[p] = true;
            chosen.append(p);
        }
    };
    for (const QString& asked : wanted) {
        if (asked == QLatin1String("all")) {
            for (int p = 1; p <= bound; ++p)
                take(p);
            continue;
        }
        if (asked.startsWith(QLatin1Char('#'))) {
            bool number = false;
            const int id = asked.mid(1).toInt(&number);
            if (number && id >= 1 && id <= bound) {
                take(id);
                continue;
            }
        }
        QList<int> named;
        for (int p = 1; p <= bound; ++p) {
            if (tasks_[p].TaskName == asked)
                named.append(p);
        }
        if (named.size() == 1) {
            take(named.first());
            continue;
        }
        if (named.isEmpty()) {
            QJsonArray known;
            for (int p = 1; p <= bound; ++p)
                known.append(QJsonObject{{QStringLiteral("id"), tasks_[p].TaskId},
                                         {QStringLiteral("name"), tasks_[p].TaskName}});
            error = failure(4, QStringLiteral("no such task: ") + asked);
            error.insert(QStringLiteral("known"), known);
            return std::nullopt;
        }
        QStringList ids;
        for (int p : named)
            ids.append(QLatin1Char('#') + QString::number(p));
        error = failure(1, QStringLiteral("several tasks are named ") + asked +
                               QStringLiteral(": ") + ids.join(QStringLiteral(", ")) +
                               QStringLiteral("; name one by its #id"));
        return std::nullopt;
    }
    return chosen;
}

QJsonObject ControlServer::handle(const ControlRequest& request, const ControlSocket::Peer& peer) {
    const QString& cmd = request.cmd;
    if (cmd == QLatin1String("info"))
        return info();
    if (cmd == QLatin1String("log"))
        return QJsonObject{
            {QStringLiteral("ok"), true},
            {QStringLiteral("path"), log_.LogFileName(log_.clock().wallTime().date())}};
    QJsonObject error;
    const bool all = request.tasks.isEmpty() && cmd == QLatin1String("status");
    if (request.tasks.isEmpty() && !all)
        return failure(1, cmd + QStringLiteral(" needs a task: a name, #id or all"));
    const auto positions = select(all ? QStringList{QStringLiteral("all")} : request.tasks, error);
    if (!positions)
        return error;
    if (cmd == QLatin1String("status")) {
        const qint64 now = clock_.wallTime().toMSecsSinceEpoch();
        QJsonArray list;
        for (int p : *positions)
            list.append(TaskReport::status(tasks_[p], now));
        return QJsonObject{{QStringLiteral("ok"), true}, {QStringLiteral("tasks"), list}};
    }
    if (cmd == QLatin1String("output")) {
        if (positions->size() != 1)
            return failure(1, QStringLiteral("output takes one task"));
        const TaskRecord& task = tasks_[positions->first()];
        return QJsonObject{{QStringLiteral("ok"), true},
                           {QStringLiteral("id"), task.TaskId},
                           {QStringLiteral("name"), task.TaskName},
                           {QStringLiteral("path"), task.outputPath.isEmpty()
                                                        ? QJsonValue::Null
                                                        : QJsonValue(task.outputPath)}};
    }
    const QString who = ControlSocket::userName(peer.uid) + QStringLiteral(" (uid ") +
                        QString::number(peer.uid) + QLatin1Char(')');
    log_.WriteLog(QStringLiteral("CONTROL: ") + cmd + QLatin1Char(' ') +
                  request.tasks.join(QLatin1Char(' ')) + QStringLiteral(" by ") + who);
    return act(cmd, *positions, who);
}

QJsonObject ControlServer::act(const QString& verb, const QList<int>& positions,
                               const QString& who) {
    QJsonArray results;
    bool allDone = true;
    for (int p : positions) {
        QString result;
        bool done = true;
        const bool wasUp = tasks_[p].IsUp;
        if (verb == QLatin1String("stop")) {
            result = wasUp               ? QStringLiteral("stopped")
                     : tasks_[p].stopped ? QStringLiteral("already stopped")
                                         : QStringLiteral("stopped (it was down)");
            functions_.StopTask(p, who);
        } else if (verb == QLatin1String("start") && wasUp) {
            result = QStringLiteral("already up: nothing done");
        } else {
            if (wasUp)
                functions_.StopTask(p, who);
            functions_.RestartTask(p);
            if (tasks_[p].IsUp)
                result = QStringLiteral("started");
            else if (tasks_[p].startWhenClosed)
                result = QStringLiteral("starts once its stopped process has ended");
            else {
                result = QStringLiteral("could not be started (see the log)");
                done = false;
            }
        }
        allDone = allDone && done;
        results.append(QJsonObject{{QStringLiteral("id"), tasks_[p].TaskId},
                                   {QStringLiteral("name"), tasks_[p].TaskName},
                                   {QStringLiteral("ok"), done},
                                   {QStringLiteral("result"), result}});
    }
    return QJsonObject{{QStringLiteral("ok"), allDone}, {QStringLiteral("results"), results}};
}

QJsonObject ControlServer::info() {
    return QJsonObject{
        {QStringLiteral("ok"), true},
        {QStringLiteral("pid"), static_cast<qint64>(::getpid())},
        {QStringLiteral("version"), QString::fromLatin1(Version::text)},
        {QStringLiteral("socket"), path_},
        {QStringLiteral("configuration"), configuration_},
        {QStringLiteral("user"), ControlSocket::userName(::geteuid())},
        {QStringLiteral("uid"), static_cast<qint64>(::geteuid())},
        {QStringLiteral("tasks"), tasks_.upperBound()},
        {QStringLiteral("log"), log_.LogFileName(log_.clock().wallTime().date())},
    };
}

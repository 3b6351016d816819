#include "MailServers.h"

#include "TestSupport.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>

// Test programs run side by side with neighbouring process numbers: spread their first picks.
quint16 freeLowPort() {
    static quint16 next =
        static_cast<quint16>(20000 + QCoreApplication::applicationPid() * 7919 % 12000);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        next = next >= 32000 ? 20000 : next + 1;
        if (QTcpServer probe; probe.listen(QHostAddress::LocalHost, next))
            return next;
    }
    return 0;
}

const TestCertificate& testCertificate() {
    static QTemporaryDir dir;
    static const TestCertificate made = [] {
        const TestCertificate files{dir.filePath("cert.pem"), dir.filePath("key.pem")};
        QProcess openssl;
        openssl.start("openssl",
                      QString("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                              "-nodes -days 2 -subj /CN=localhost -addext "
                              "subjectAltName=IP:127.0.0.1,DNS:localhost")
                              .split(' ')
                          << "-keyout" << files.key << "-out" << files.certificate);
        EXPECT_TRUE(openssl.waitForFinished(30000) && openssl.exitCode() == 0);
        return files;
    }();
    return made;
}

SinkServer::SinkServer(const QStringList& options) {
    // A port found free may be taken by another test program before the sink binds it: the
    // sink then exits, and the next port is tried.
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    for (int attempt = 0; attempt < 5 && !ready_; ++attempt) {
        port_ = freeLowPort();
        process_.start("/usr/bin/python3",
                       QStringList{testsupport::sourceDir() + "/tests/support/smtp_sink.py",
                                   QString::number(port_), dir_.path()} +
                           options);
        testsupport::waitUntil([this] {
            ready_ = process_.canReadLine() && process_.readLine().startsWith("READY");
            return ready_ || process_.state() == QProcess::NotRunning;
        });
        if (process_.state() != QProcess::NotRunning)
            break; // ready, or too slow to start: no second copy
    }
}

SinkServer::~SinkServer() {
    process_.terminate();
    if (!process_.waitForFinished(5000))
        process_.kill();
    process_.waitForFinished(5000);
}

QList<QJsonObject> SinkServer::messages() const {
    QList<QJsonObject> stored;
    for (const QString& name : QDir(dir_.path()).entryList({"msg-*.json"}, QDir::Files, QDir::Name))
        stored.append(
            QJsonDocument::fromJson(testsupport::readFile(dir_.filePath(name)).toUtf8()).object());
    return stored;
}

ScriptedServer::ScriptedServer() {
    replyFor = [](const QByteArray& command, const QByteArray&) { return standardReply(command); };
    for (int attempt = 0; attempt < 5 && !server_.isListening(); ++attempt)
        server_.listen(QHostAddress::LocalHost, freeLowPort());
    connect(&server_, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = server_.nextPendingConnection()) {
            auto record = std::make_shared<Connection>();
            record->othersOpen = static_cast<int>(std::count_if(
                connections_.cbegin(), connections_.cend(), [](auto& c) { return !c->ended; }));
            connections_.append(record);
            connect(socket, &QTcpSocket::disconnected, socket, [socket, record] {
                record->ended = true;
                socket->deleteLater();
            });
            connect(socket, &QTcpSocket::readyRead, socket,
                    [this, socket, record, inData = false, pending = QByteArray()]() mutable {
                        pending += socket->readAll();
                        for (qsizetype end; (end = pending.indexOf("\r\n")) >= 0;) {
                            const QByteArray line = pending.left(end);
                            pending.remove(0, end + 2);
                            if (inData && line != ".") {
                                record->data += line + "\r\n";
                                continue;
                            }
                            record->lines.append(line);
                            const QByteArray command =
                                line == "." ? line : line.split(' ').first().split(':').first();
                            const QByteArray reply = replyFor(command, line);
                            inData = command == "DATA" && reply.startsWith("354");
                            write(socket, reply);
                            if (reply.isEmpty() || command == "QUIT")
                                return socket->disconnectFromHost();
                        }
                    });
            write(socket, greeting);
        }
    });
}

QByteArray ScriptedServer::standardReply(const QByteArray& command) {
    return command == "DATA"   ? "354 go ahead\r\n"
           : command == "QUIT" ? "221 bye\r\n"
                               : "250 ok\r\n";
}

void ScriptedServer::write(QTcpSocket* socket, const QByteArray& text) {
    const qsizetype pause = text.indexOf('|');
    socket->write(text.left(pause < 0 ? text.size() : pause));
    socket->flush();
    if (pause >= 0)
        QTimer::singleShot(30, socket, [=, this] { write(socket, text.mid(pause + 1)); });
}

MailTest::MailTest() {
    HostSource source;
    source.hostName = [] { return QStringLiteral("box"); };
    source.resolverConfig = [] { return QByteArray("domain corp-net.example\n"); };
    host = IPInfo(source);
    mail.setHostInfo(&host);
    mail.MailServer = "127.0.0.1";
    mail.TimeOut = 5;
}

bool MailTest::send() {
    mail.Send(message);
    return testsupport::waitUntil([this] { return !mail.busy(); }, std::chrono::seconds(30));
}

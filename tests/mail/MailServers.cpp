#include "MailServers.h"

#include "TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>

quint16 freeLowPort() {
    static quint16 next = static_cast<quint16>(20000 + QCoreApplication::applicationPid() % 10000);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        next = next >= 32000 ? 20000 : next + 1;
        QTcpServer probe;
        if (probe.listen(QHostAddress::LocalHost, next)) {
            return next;
        }
    }
    return 0;
}

const TestCertificate& testCertificate() {
    static QTemporaryDir dir;
    static const TestCertificate made = [] {
        const TestCertificate files{dir.filePath(QStringLiteral("cert.pem")),
                                    dir.filePath(QStringLiteral("key.pem"))};
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"),
                      {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                       QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                       QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                       QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                       QStringLiteral("/CN=localhost"), QStringLiteral("-addext"),
                       QStringLiteral("subjectAltName=IP:127.0.0.1,DNS:localhost"),
                       QStringLiteral("-keyout"), files.key, QStringLiteral("-out"),
                       files.certificate});
        EXPECT_TRUE(openssl.waitForFinished(30000) && openssl.exitCode() == 0)
            << openssl.readAllStandardError().toStdString();
        return files;
    }();
    return made;
}

SinkServer::SinkServer(const Options& options) {
    port_ = freeLowPort();
    QStringList arguments{testsupport::sourceDir() + QStringLiteral("/tests/mail/smtp_sink.py"),
                          QString::number(port_), dir_.path()};
    if (options.security != SMTPClient::Security::None)
        arguments << (options.security == SMTPClient::Security::Tls ? QStringLiteral("--tls")
                                                                    : QStringLiteral("--starttls"))
                  << testCertificate().certificate << testCertificate().key;
    if (options.requireTls)
        arguments << QStringLiteral("--require-tls");
    if (!options.user.isEmpty())
        arguments << QStringLiteral("--auth") << options.user << options.password
                  << QStringLiteral("--mechanisms") << options.mechanisms;
    process_.setProgram(QStringLiteral("/usr/bin/python3"));
    process_.setArguments(arguments);
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start();
    ready_ = testsupport::waitUntil(
        [this] { return process_.canReadLine() && process_.readLine().startsWith("READY"); });
}

SinkServer::~SinkServer() {
    process_.terminate();
    if (!process_.waitForFinished(5000)) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

QList<QJsonObject> SinkServer::messages() const {
    QList<QJsonObject> stored;
    const QStringList names =
        QDir(dir_.path()).entryList({QStringLiteral("msg-*.json")}, QDir::Files, QDir::Name);
    for (const QString& name : names) {
        QFile file(dir_.filePath(name));
        if (file.open(QIODevice::ReadOnly)) {
            stored.append(QJsonDocument::fromJson(file.readAll()).object());
        }
    }
    return stored;
}

ScriptedServer::ScriptedServer() {
    replyFor = [](const QByteArray& command, const QByteArray&) { return standardReply(command); };
    server_.listen(QHostAddress::LocalHost, freeLowPort());
    connect(&server_, &QTcpServer::newConnection, this, &ScriptedServer::onConnection);
}

QByteArray ScriptedServer::standardReply(const QByteArray& command) {
    if (command == "DATA") {
        return "354 go ahead\r\n";
    }
    return command == "QUIT" ? "221 bye\r\n" : "250 ok\r\n";
}

void ScriptedServer::onConnection() {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        auto record = std::make_shared<Connection>();
        record->othersOpen = static_cast<int>(std::count_if(
            connections_.cbegin(), connections_.cend(), [](const auto& c) { return !c->ended; }));
        connections_.append(record);
        auto inData = std::make_shared<bool>(false);
        auto pending = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::disconnected, socket, [socket, record] {
            record->ended = true;
            socket->deleteLater();
        });
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket, record, inData, pending] {
            pending->append(socket->readAll());
            qsizetype end;
            while ((end = pending->indexOf("\r\n")) >= 0) {
                const QByteArray line = pending->left(end);
                pending->remove(0, end + 2);
                if (*inData && line != ".") {
                    record->data.append(line + "\r\n");
                    continue;
                }
                record->lines.append(line);
                const QByteArray command =
                    line == "." ? line : line.split(' ').first().split(':').first();
                *inData = false;
                if (!dropAfter.isEmpty() && command == dropAfter) {
                    socket->disconnectFromHost();
                    return;
                }
                const QByteArray reply = replyFor(command, line);
                *inData = command == "DATA" && reply.startsWith("354");
                write(socket, reply);
                if (command == "QUIT") {
                    socket->disconnectFromHost();
                    return;
                }
            }
        });
        if (greetingDelayMs == 0) {
            write(socket, greeting);
        } else if (greetingDelayMs > 0) {
            QTimer::singleShot(greetingDelayMs, socket,
                               [socket, this] { write(socket, greeting); });
        }
    }
}

void ScriptedServer::write(QTcpSocket* socket, const QByteArray& text) {
    const qsizetype pause = text.indexOf('\x01');
    socket->write(pause < 0 ? text : text.left(pause));
    socket->flush();
    if (pause >= 0)
        QTimer::singleShot(30, socket,
                           [this, socket, rest = text.mid(pause + 1)] { write(socket, rest); });
}

MailTest::MailTest() {
    HostSource source;
    source.hostName = [] { return QStringLiteral("box"); };
    source.resolverConfig = [] { return QByteArray("domain corp-net.example\n"); };
    host = IPInfo(source);
    mail.setHostInfo(&host);
    mail.MailServer = QStringLiteral("127.0.0.1");
    mail.TimeOut = 5;
}

bool MailTest::send() {
    mail.Send();
    return testsupport::waitUntil([this] { return !mail.busy(); }, std::chrono::seconds(30));
}

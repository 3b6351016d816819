// The mail sender's dialogue against a server whose replies come from the input: one reply per
// command, chunks separated by NUL bytes. A reply the client goes on waiting after is followed
// shortly by lines that can match nothing, so no run waits for the time-out.
#include "FuzzCheck.h"
#include "mail/IPInfo.h"
#include "mail/SMTPClient.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <csignal>
#include <cstdint>
#include <cstdlib>

namespace {

const QList<QByteArray> codes = {"220", "250", "250", "250", "354", "250", "221"};
const QList<QByteArray> commands = {"HELO ", "MAIL FROM:", "RCPT TO:", "DATA", ".", "QUIT"};

class ReplyServer final : public QObject {
  public:
    explicit ReplyServer(QList<QByteArray> replies) : replies_(std::move(replies)) {
        // The port setting is a signed 16-bit number.
        for (quint16 port = 20000; !server_.isListening() && port < 32000; ++port)
            server_.listen(QHostAddress::LocalHost, port);
        connect(&server_, &QTcpServer::newConnection, this, &ReplyServer::onConnection);
        // Repeated, so that a reply left open as a multi-line one is ended too.
        stall_.setInterval(20);
        connect(&stall_, &QTimer::timeout, this, [this] {
            if (socket_ != nullptr)
                socket_->write("999 nothing to match\r\n");
        });
    }
    quint16 port() const { return server_.serverPort(); }
    int commandsSeen = 0; // all but QUIT
    bool quitSeen = false;
    QList<QByteArray> headerLines;

  private:
    void onConnection() {
        socket_ = server_.nextPendingConnection();
        connect(socket_, &QTcpSocket::readyRead, this, &ReplyServer::onData);
        reply();
    }
    void onData() {
        buffer_ += socket_->readAll();
        qsizetype end;
        while ((end = buffer_.indexOf("\r\n")) >= 0) {
            const QByteArray line = buffer_.left(end);
            buffer_.remove(0, end + 2);
            if (inData_) {
                inData_ = line != ".";
                if (inData_) {
                    if (inHeaders_ && line.isEmpty())
                        inHeaders_ = false;
                    else if (inHeaders_)
                        headerLines.append(line);
                    continue;
                }
            }
            bool command = line == ".";
            for (const QByteArray& word : commands)
                command = command || (word != "." && line.startsWith(word));
            if (!command)
                continue;
            // A QUIT may follow any reply, error or not: the server is told the client leaves.
            if (line.startsWith("QUIT"))
                quitSeen = true;
            else
                ++commandsSeen;
            if (line == "DATA")
                inData_ = inHeaders_ = true;
            reply();
        }
    }
    void reply() {
        stall_.stop();
        const QByteArray chunk = next_ < replies_.size() ? replies_[next_] : QByteArray();
        ++next_;
        socket_->write(chunk);
        stall_.start();
    }

    QTcpServer server_;
    QTcpSocket* socket_ = nullptr;
    QTimer stall_;
    QList<QByteArray> replies_;
    qsizetype next_ = 0;
    QByteArray buffer_;
    bool inData_ = false;
    bool inHeaders_ = false;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    static QCoreApplication app(*argc, *argv);
    return 0;
}

// The first chunk is the task name that goes into the subject; the rest are the replies.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QList<QByteArray> chunks =
        QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)).split('\0');
    if (chunks.size() > 12)
        return -1;
    const QString name = QString::fromUtf8(chunks.takeFirst());
    ReplyServer server(chunks);

    static IPInfo host = [] {
        HostSource source;
        source.hostName = [] { return QStringLiteral("fuzz"); };
        source.resolverConfig = [] { return QByteArray("domain example.org\n"); };
        return IPInfo(source);
    }();
    SMTPClient mail;
    mail.setHostInfo(&host);
    mail.MailServer = QStringLiteral("127.0.0.1");
    mail.SMTPPort = static_cast<qint16>(server.port());
    mail.TimeOut = 2;
    mail.ToAddress = QStringLiteral("ops@example.org");
    MailMessage message;
    message.FromName = QStringLiteral("Prowlix");
    message.FromAddress = QStringLiteral("prowlix@example.org");
    message.Subject = QStringLiteral("Monitored Task Failure Report (") + name + QLatin1Char(')');
    message.Message = QStringLiteral("Task ") + name;
    mail.Send(message);
    while (mail.busy())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);

    // Each command went out only after its predecessor's reply began with the awaited code.
    int good = 0;
    while (good < codes.size() && good < chunks.size() && chunks[good].startsWith(codes[good]))
        ++good;
    check(server.commandsSeen <= good);
    // A 250 after the data is delivery, whatever answers the QUIT.
    if (mail.lastSendSucceeded()) {
        check(good >= codes.size() - 1 && server.commandsSeen == commands.size() - 1 &&
              server.quitSeen);
    } else {
        const QString& error = mail.lastError();
        check(error.startsWith(QLatin1String("SMTP_ERR:")) ||
              error == QLatin1String("SMTP_TIMEOUT") ||
              error.startsWith(QLatin1String("SMTP_CONNECT_ERR")));
        check(error.size() <= 9 + SMTPClient::replyTextLimit);
    }
    // The subject holds the name on one line or folded encoded words: nine header fields,
    // whatever the name is.
    if (server.commandsSeen >= 5) {
        int fields = 0;
        for (const QByteArray& line : server.headerLines)
            fields += line.startsWith(' ') ? 0 : 1;
        check(fields == 9);
        // No header line is longer than mail systems take; encoded words fold within 76.
        for (const QByteArray& line : server.headerLines)
            check(!line.contains('\r') && !line.contains('\n') &&
                  line.size() <= MailMessage::lineLimit &&
                  (!line.contains("=?UTF-8?B?") || line.size() <= MailMessage::foldedLineLimit));
    }
    return 0;
}

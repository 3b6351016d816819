#include "mail/SMTPClient.h"

#include "mail/RegularFile.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QSslConfiguration>
#include <QSslSocket>
#include <algorithm>

namespace {

const QByteArray crlf = QByteArrayLiteral("\r\n");
const QString abortText = QStringLiteral("Send aborted due to incomplete messaging values");

// What one server may make the client keep: a reply line, the lines of one reply and the bytes
// the socket buffers. Anything longer is cut, never stored.
constexpr qsizetype lineLimit = 1024;
constexpr qsizetype linesLimit = 64;
constexpr qint64 readBufferSize = 64 * 1024;

// A line break inside a header value or an address would start a header or command of its own.
QString oneLine(const QString& text) {
    QString line = text;
    return line.replace(u'\r', u' ').replace(u'\n', u' ');
}

// Angle brackets are what strict servers demand; blanks around the address are not part of it.
QByteArray envelope(const char* command, const QString& address) {
    return QByteArray(command) + '<' + oneLine(address).trimmed().toUtf8() + '>' + crlf;
}

QString replyText(const QList<QByteArray>& lines) {
    QByteArray joined;
    for (const QByteArray& line : lines) {
        joined += (joined.isEmpty() ? QByteArray() : crlf) + line;
        if (joined.size() > SMTPClient::replyTextLimit * 4)
            break;
    }
    return QString::fromUtf8(joined).left(SMTPClient::replyTextLimit);
}

QByteArray base64(const QString& text) {
    return text.toUtf8().toBase64();
}

} // namespace

SMTPClient::SMTPClient(Clock& clock, QObject* parent)
    : QObject(parent), clock_(clock), waitTimer_(clock) {
    waitTimer_.setSingleShot(true);
    waitTimer_.setTimerType(Qt::PreciseTimer); // a coarse timer may fire early
    connect(&waitTimer_, &ClockTimer::timeout, this, &SMTPClient::timedOut);
    nextTimer_.setSingleShot(true);
    nextTimer_.setInterval(0);
    connect(&nextTimer_, &QTimer::timeout, this, &SMTPClient::nextRecipient);
}

SMTPClient::~SMTPClient() {
    abort();
}

QString SMTPClient::greetingName(const QString& configured, const IPInfo& host,
                                 const QString& fromAddress) {
    if (!configured.isEmpty())
        return configured;
    const QString fullName = host.fullyQualifiedName();
    if (!fullName.isEmpty())
        return fullName;
    // A sender domain is a name its owner answers for; the host's domain alone is no host's.
    const QString from = oneLine(fromAddress).trimmed();
    const QString domain = from.mid(from.lastIndexOf(u'@') + 1);
    if (MailMessage::isMailAddress(from) && domain.contains(u'.'))
        return domain;
    return host.DomainName;
}

QString SMTPClient::serverHost(const QString& server) {
    QString host = server.trimmed();
    if (host.startsWith(u'[') && host.endsWith(u']')) {
        host = host.mid(1, host.size() - 2);
        // The address literal of mail syntax: [IPv6:::1].
        if (host.startsWith(QLatin1String("IPv6:"), Qt::CaseInsensitive))
            host.remove(0, 5);
    }
    return host;
}

Log& SMTPClient::errorLog() {
    if (!ErrorLog)
        ErrorLog = std::make_unique<Log>();
    ErrorLog->FileNameBase = Log::mailStageLogBase();
    ErrorLog->Silent = true;
    return *ErrorLog;
}

void SMTPClient::Send(const MailMessage& message) {
    if (busy_)
        return;
    busy_ = true;
    message_ = message;
    lastError_.clear();
    recipients_.clear();
    if (!MailServer.isEmpty() && !ToAddress.isEmpty() && !message_.Message.isEmpty()) {
        // A "," separates like ";", since a ";" starts a comment in the INI file; a piece of
        // blanks would give an envelope without an address: not a recipient.
        const QStringList pieces = QString(ToAddress).replace(u';', u',').split(u',');
        std::copy_if(pieces.cbegin(), pieces.cend(), std::back_inserter(recipients_),
                     [](const QString& piece) { return !piece.trimmed().isEmpty(); });
    }
    if (recipients_.isEmpty()) {
        ReportStatus(abortText);
        lastError_ = abortText;
    } else {
        readPassword();
        readAuthorities();
    }
    // Even a Send that does nothing finishes from the event loop, so a caller that sends the
    // next message on finished() never recurses.
    nextTimer_.start();
}

void SMTPClient::readPassword() {
    activePassword_ = password;
    if (userName.isEmpty() || passwordFile.isEmpty())
        return;
    // Opened without blocking and only when a regular file: a FIFO in its place must not freeze
    // the monitor at the first alert.
    const RegularFile::Contents file = RegularFile::read(passwordFile, 4096);
    QByteArray line = file.bytes.left(file.bytes.indexOf('\n'));
    if (line.endsWith('\r'))
        line.chop(1);
    // An empty password would only be refused, or worse, taken.
    if (!file.error.isEmpty() || line.isEmpty())
        return refuseSend(
            QStringLiteral("SMTP_AUTH_ERR: cannot read the password file ") + passwordFile +
            QStringLiteral(": ") +
            (file.error.isEmpty() ? QStringLiteral("its first line is empty") : file.error));
    activePassword_ = QString::fromUtf8(line);
}

void SMTPClient::readAuthorities() {
    activeAuthorities_ = caCertificates;
    if (caFile.isEmpty() || security == Security::None || recipients_.isEmpty())
        return;
    // As the password file: a file in its place that is not a regular one fails the alert, and
    // the system's wider set of authorities never stands in for the ones asked for.
    const RegularFile::Contents file = RegularFile::read(caFile, 16 * 1024 * 1024);
    activeAuthorities_ = QSslCertificate::fromData(file.bytes, QSsl::Pem);
    if (activeAuthorities_.isEmpty())
        refuseSend(
            QStringLiteral("SMTP_TLS_ERR: cannot read the certificate file ") + caFile +
            QStringLiteral(": ") +
            (file.error.isEmpty() ? QStringLiteral("no PEM certificate in it") : file.error));
}

void SMTPClient::refuseSend(const QString& errorText) {
    lastError_ = errorText;
    ReportStatus(lastError_);
    recipients_.clear();
}

void SMTPClient::abort() {
    busy_ = false;
    recipients_.clear();
    nextTimer_.stop();
    waitTimer_.stop();
    releaseSocket();
    SessionFailed = false;
    activePassword_.clear();
}

void SMTPClient::nextRecipient() {
    if (!busy_)
        return;
    if (recipients_.isEmpty()) {
        busy_ = false;
        activePassword_.clear();
        Q_EMIT finished();
        return;
    }
    SendToRecipient(recipients_.takeFirst());
}

void SMTPClient::SendToRecipient(const QString& recipient) {
    errorLog();
    hostInfo().LoadHostInfo();
    Domain = hostInfo().DomainName;
    if (SMTPPort == 0)
        SMTPPort = 25;
    if (TimeOut == 0)
        TimeOut = 60;
    releaseSocket();
    recipient_ = oneLine(recipient).trimmed();
    received_.clear();
    partial_ = {};
    capabilities_.clear();
    tlsErrors_.clear();
    delivered_ = false;
    SessionFailed = false;
    dateText_ = MailMessage::GMTDateText(clock_.wallTime());

    if (!MailMessage::isMailAddress(recipient_))
        return fail(QStringLiteral("SMTP_ADDRESS_ERR: '") + recipient_ +
                    QStringLiteral("' is not a mail address"));
    if (!userName.isEmpty() && security == Security::None)
        return fail(QStringLiteral("SMTP_AUTH_ERR: the password is only ever sent over TLS"));
    if (security != Security::None && !QSslSocket::supportsSsl())
        return fail(QStringLiteral("SMTP_TLS_ERR: no TLS library is available"));
    // Only 0 means the default: a negative time-out fails the connection wait at once.
    if (TimeOut < 0)
        return fail(QStringLiteral("SMTP_CONNECT_ERR"));
    if (SMTPPort < 0)
        return fail(QStringLiteral("SMTP_CONNECT_ERR: ") + QString::number(SMTPPort) +
                    QStringLiteral(" is not a port"));

    QSslSocket* tls = nullptr;
    if (security == Security::None) {
        socket_ = new QTcpSocket(this); // plain mail never loads the TLS library
    } else {
        socket_ = tls = new QSslSocket(this);
        QSslConfiguration configuration = tls->sslConfiguration();
        if (!activeAuthorities_.isEmpty())
            configuration.setCaCertificates(activeAuthorities_);
        configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
        tls->setSslConfiguration(configuration);
        connect(tls, &QSslSocket::sslErrors, this, [this](const QList<QSslError>& errors) {
            for (const QSslError& error : errors)
                tlsErrors_ +=
                    (tlsErrors_.isEmpty() ? QString() : QStringLiteral("; ")) + error.errorString();
        });
        connect(tls, &QSslSocket::encrypted, this, [this] {
            if (security == Security::Tls)
                connected();
            else
                sendHello(); // EHLO again: the capabilities may differ under TLS
        });
    }
    socket_->setReadBufferSize(readBufferSize);
    connect(socket_, &QTcpSocket::connected, this, [this] {
        if (security == Security::Tls)
            waitFor(Wait::Handshake);
        else
            connected();
    });
    connect(socket_, &QTcpSocket::readyRead, this, &SMTPClient::readReplies);
    connect(socket_, &QTcpSocket::disconnected, this, &SMTPClient::socketClosed);
    connect(socket_, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (socket_ == nullptr || error == QAbstractSocket::RemoteHostClosedError)
            return; // a hang-up is handled when the socket reports it closed
        if (wait_ == Wait::Connection)
            fail(QStringLiteral("SMTP_CONNECT_ERR: ") + socket_->errorString());
        else if (wait_ == Wait::Handshake || error == QAbstractSocket::SslHandshakeFailedError)
            fail(QStringLiteral("SMTP_TLS_ERR: ") +
                 (tlsErrors_.isEmpty() ? socket_->errorString() : tlsErrors_));
        else
            fail(QStringLiteral("SMTP_ERR:") + socket_->errorString());
    });
    waitFor(Wait::Connection);
    const QString host = serverHost(MailServer);
    if (tls != nullptr && security == Security::Tls)
        tls->connectToHostEncrypted(host, static_cast<quint16>(SMTPPort));
    else
        socket_->connectToHost(host, static_cast<quint16>(SMTPPort));
}

void SMTPClient::connected() {
    ReportStatus(QStringLiteral("connecting"));
    WaitForReply("220", Step::Hello);
}

void SMTPClient::sendHello() {
    // The specified HELO unless TLS or authentication needs the server's extensions.
    const bool extended = security != Security::None || !userName.isEmpty();
    const QString name = greetingName(heloName, hostInfo(), message_.FromAddress);
    SendText((extended ? "EHLO " : "HELO ") + oneLine(name).toUtf8() + crlf);
    ReportStatus(QStringLiteral("connected"));
    WaitForReply("250", Step::Capabilities);
}

void SMTPClient::afterHello() {
    const auto* tls = qobject_cast<QSslSocket*>(socket_);
    if (security == Security::StartTls && tls != nullptr && !tls->isEncrypted()) {
        // Never on in plain text once TLS is asked for.
        if (!capabilities_.contains(QLatin1String("STARTTLS")))
            return quitAfter(QStringLiteral("SMTP_TLS_ERR: the server does not offer STARTTLS"));
        SendText("STARTTLS" + crlf);
        ReportStatus(QStringLiteral("starting TLS"));
        WaitForReply("220", Step::Secure);
    } else if (!userName.isEmpty()) {
        authenticate();
    } else {
        sendEnvelope();
    }
}

void SMTPClient::authenticate() {
    const auto* tls = qobject_cast<QSslSocket*>(socket_);
    if (tls == nullptr || !tls->isEncrypted())
        return quitAfter(QStringLiteral("SMTP_AUTH_ERR: the password is only ever sent over TLS"));
    QStringList mechanisms;
    for (const QString& capability : std::as_const(capabilities_)) {
        if (capability.startsWith(QLatin1String("AUTH ")) ||
            capability.startsWith(QLatin1String("AUTH=")))
            mechanisms += capability.mid(5).split(u' ', Qt::SkipEmptyParts);
    }
    ReportStatus(QStringLiteral("authenticating"));
    if (mechanisms.contains(QLatin1String("PLAIN"))) {
        SendText("AUTH PLAIN " + base64(QChar(u'\0') + userName + QChar(u'\0') + activePassword_) +
                 crlf);
        WaitForReply("235", Step::Authenticated);
    } else if (mechanisms.contains(QLatin1String("LOGIN"))) {
        SendText("AUTH LOGIN" + crlf);
        WaitForReply("334", Step::LoginUser);
    } else {
        quitAfter(
            QStringLiteral("SMTP_AUTH_ERR: the server offers neither AUTH PLAIN nor AUTH LOGIN") +
            (mechanisms.isEmpty() ? QString()
                                  : QStringLiteral(" (it offers ") + mechanisms.join(u' ') + u')'));
    }
}

void SMTPClient::sendEnvelope() {
    SendText(envelope("MAIL FROM:", message_.FromAddress));
    ReportStatus(QStringLiteral("sending message"));
    WaitForReply("250", Step::Recipient);
}

QByteArray SMTPClient::messageId() const {
    return QByteArray::number(clock_.wallTime().toMSecsSinceEpoch(), 36) + '.' +
           QByteArray::number(QRandomGenerator::system()->generate64(), 36) + '@' +
           message_.senderDomain(Domain).toUtf8();
}

void SMTPClient::sendContent() {
    SendText(MailMessage::dotStuffed(message_.content(recipient_, dateText_, messageId())));
    SendText("." + crlf);
    WaitForReply("250", Step::Delivered);
}

void SMTPClient::replyArrived(const Reply& reply) {
    const QByteArray expected = awaited_;
    const Step step = next_;
    awaited_.clear();
    next_ = Step::None;
    waitTimer_.stop();
    if (reply.code != expected) {
        // Whatever answers QUIT ends the dialogue; it cannot undo a delivery or change an error.
        if (step == Step::Quit)
            return endDialogue();
        return quitAfter(QStringLiteral("SMTP_ERR:") + replyText(reply.lines));
    }
    switch (step) {
    case Step::None:
        break;
    case Step::Hello:
        sendHello();
        break;
    case Step::Capabilities:
        capabilities_.clear();
        for (qsizetype i = 1; i < reply.lines.size(); ++i)
            capabilities_ += QString::fromLatin1(reply.lines[i].mid(4)).trimmed().toUpper();
        afterHello();
        break;
    case Step::Secure: {
        // Whatever came before the handshake is not to be trusted: it is dropped.
        socket_->readAll();
        received_.clear();
        waitFor(Wait::Handshake);
        qobject_cast<QSslSocket*>(socket_)->startClientEncryption();
        break;
    }
    case Step::Authenticated:
        sendEnvelope();
        break;
    case Step::LoginUser:
        SendText(base64(userName) + crlf);
        WaitForReply("334", Step::LoginPassword);
        break;
    case Step::LoginPassword:
        SendText(base64(activePassword_) + crlf);
        WaitForReply("235", Step::Authenticated);
        break;
    case Step::Recipient:
        SendText(envelope("RCPT TO:", recipient_));
        WaitForReply("250", Step::Data);
        break;
    case Step::Data:
        SendText("DATA" + crlf);
        WaitForReply("354", Step::Content);
        break;
    case Step::Content:
        sendContent();
        break;
    case Step::Delivered:
        delivered_ = true;
        SendText("QUIT" + crlf);
        ReportStatus(QStringLiteral("disconnecting"));
        WaitForReply("221", Step::Quit);
        break;
    case Step::Quit:
        endDialogue();
        break;
    }
}

void SMTPClient::WaitForReply(const QByteArray& code, Step next) {
    if (SessionFailed || socket_ == nullptr)
        return;
    awaited_ = code;
    next_ = next;
    waitFor(Wait::Reply);
    readReplies(); // what arrived before it was awaited
}

void SMTPClient::waitFor(Wait wait) {
    wait_ = wait;
    // A wait ends by time-out only once strictly more than TimeOut seconds have passed.
    waitTimer_.start(TimeOut * 1000 + 1);
}

void SMTPClient::timedOut() {
    switch (wait_) {
    case Wait::Connection:
        return fail(QStringLiteral("SMTP_CONNECT_ERR"));
    case Wait::Handshake:
        return fail(QStringLiteral("SMTP_TLS_ERR: no TLS handshake within the time-out"));
    case Wait::Reply:
        return fail(QStringLiteral("SMTP_TIMEOUT"));
    }
}

// Replies are judged whole: bytes are collected up to a line end, and lines up to the last line
// of a multi-line reply, before the code is compared. Nothing is read while no reply is awaited.
void SMTPClient::readReplies() {
    while (socket_ != nullptr && !awaited_.isEmpty() && socket_->bytesAvailable() > 0) {
        received_ += socket_->read(readBufferSize);
        qsizetype end;
        while (!awaited_.isEmpty() && (end = received_.indexOf('\n')) >= 0) {
            QByteArray line = received_.left(end);
            received_.remove(0, end + 1);
            if (line.endsWith('\r'))
                line.chop(1);
            line.truncate(lineLimit);
            if (partial_.lines.isEmpty())
                partial_.code = line.left(3);
            if (partial_.lines.size() < linesLimit)
                partial_.lines.append(line);
            if (line.size() > 3 && line[3] == '-')
                continue;
            const Reply reply = std::move(partial_);
            partial_ = {};
            // Bytes that came with this reply cannot answer the command that follows it.
            received_.clear();
            replyArrived(reply);
        }
        if (received_.size() > lineLimit)
            received_.truncate(lineLimit);
    }
}

void SMTPClient::socketClosed() {
    readReplies(); // what came before the hang-up still counts
    if (socket_ != nullptr)
        fail(QStringLiteral("SMTP_ERR:the server closed the connection"));
}

void SMTPClient::SendText(const QByteArray& text) {
    if (!SessionFailed && socket_ != nullptr && socket_->state() == QAbstractSocket::ConnectedState)
        socket_->write(text);
}

void SMTPClient::ReportStatus(const QString& text) {
    if (SessionFailed)
        return;
    Status = text;
    errorLog().WriteLog(text);
}

void SMTPClient::fail(const QString& errorText) {
    recordFailure(errorText);
    endDialogue();
}

void SMTPClient::recordFailure(const QString& errorText) {
    // The server has taken the message: a missing 221 or a hang-up after it loses nothing.
    if (SessionFailed || delivered_)
        return;
    const QString text = withoutSecrets(errorText);
    ReportStatus(text);
    lastError_ = text.trimmed();
    SessionFailed = true;
}

// A server that answered with an error is still there: it is told that the client leaves, as
// SMTP asks, instead of finding the connection dropped.
void SMTPClient::quitAfter(const QString& errorText) {
    recordFailure(errorText);
    if (socket_ == nullptr || socket_->state() != QAbstractSocket::ConnectedState)
        return endDialogue();
    socket_->write("QUIT" + crlf);
    awaited_ = "221";
    next_ = Step::Quit;
    waitFor(Wait::Reply);
    readReplies();
}

void SMTPClient::endDialogue() {
    waitTimer_.stop();
    awaited_.clear();
    releaseSocket();
    ReportStatus(QStringLiteral("disconnected"));
    SessionFailed = false;
    nextTimer_.start();
}

void SMTPClient::releaseSocket() {
    if (socket_ == nullptr)
        return;
    QTcpSocket* socket = socket_;
    socket_ = nullptr;
    socket->disconnect(this);
    socket->abort(); // the descriptor goes now, not when the event loop deletes the object
    socket->deleteLater();
}

QString SMTPClient::withoutSecrets(QString text) const {
    if (activePassword_.isEmpty())
        return text;
    const QString hidden = QStringLiteral("********");
    for (const QByteArray& secret :
         {activePassword_.toUtf8(), base64(activePassword_),
          base64(QChar(u'\0') + userName + QChar(u'\0') + activePassword_)})
        text.replace(QString::fromUtf8(secret), hidden);
    return text;
}

#include "SMTPClient.h"

#include "EventPump.h"
#include "RuntimeError.h"
#include "Version.h"

#include <QStringList>
#include <algorithm>
#include <cmath>

namespace {

const QString crlf = QStringLiteral("\r\n");
const QString abortText = QStringLiteral("Send aborted due to incomplete messaging values");

// A line break inside a header value or an address would start a header or command of its own.
QString oneLine(const QString& text) {
    QString line = text;
    return line.replace(u'\r', u' ').replace(u'\n', u' ');
}

// Angle brackets are what strict servers demand; blanks around the address are not part of it.
QString envelope(const QString& command, const QString& address) {
    return command + u'<' + oneLine(address).trimmed() + u'>' + crlf;
}

} // namespace

SMTPClient::SMTPClient(QObject* parent) : QObject(parent) {
    clock_.start();
    connect(&SMTPWinsock, &SocketControl::DataArrival, this,
            [this](qint64) { SMTPWinsock.GetData(ReplyBuffer); });
}

SMTPClient::~SMTPClient() = default;

QString SMTPClient::mailerText() {
    return QStringLiteral("%1 %2.%3.%4")
        .arg(QLatin1String(Version::productName))
        .arg(Version::major)
        .arg(Version::minor)
        .arg(Version::revision);
}

QString SMTPClient::dotStuffed(const QString& text) {
    QString stuffed = text;
    stuffed.replace(QStringLiteral("\n."), QStringLiteral("\n.."));
    if (stuffed.startsWith(u'.')) {
        stuffed.prepend(u'.');
    }
    return stuffed;
}

void SMTPClient::Send() {
    lastError_.clear();
    QStringList recipients;
    if (!MailServer.isEmpty() && !ToAddress.isEmpty() && !Message.isEmpty()) {
        const QStringList pieces =
            ToAddress.contains(u';') ? ToAddress.split(u';') : QStringList{ToAddress};
        // A piece of blanks would give an envelope without an address: not a recipient.
        std::copy_if(pieces.cbegin(), pieces.cend(), std::back_inserter(recipients),
                     [](const QString& piece) { return !piece.trimmed().isEmpty(); });
    }
    if (recipients.isEmpty()) {
        ReportStatus(abortText);
        lastError_ = abortText;
        return;
    }
    for (const QString& recipient : recipients) {
        SendToRecipient(recipient);
    }
}

void SMTPClient::SendToRecipient(const QString& recipient) {
    errorLog().FileNameBase = QStringLiteral("SMTP");
    errorLog().Silent = true;
    hostInfo().LoadHostInfo();
    Domain = hostInfo().DomainName;
    if (SMTPPort == 0) {
        SMTPPort = 25;
    }
    if (TimeOut == 0) {
        TimeOut = 60;
    }
    try {
        runDialogue(recipient);
    } catch (const RuntimeError& error) {
        // The socket could not do its work (e.g. an unusable server name): this recipient's
        // dialogue has failed; the next one still gets its chance.
        fail(error.description());
    }
    try {
        SMTPWinsock.Close();
    } catch (const RuntimeError&) {
        // Closing is best effort; the next dialogue closes again before connecting.
    }
    ReportStatus(QStringLiteral("disconnected"));
    SessionFailed = false;
}

void SMTPClient::runDialogue(const QString& recipient) {
    SMTPWinsock.LocalPort = 0;
    SMTPWinsock.Close();
    const QString dateText = timeZone.GMTDateText();
    SMTPWinsock.Protocol = 0;
    SMTPWinsock.RemoteHost = MailServer;
    SMTPWinsock.RemotePort = SMTPPort;
    SMTPWinsock.Connect();
    waitForConnection();
    ReportStatus(QStringLiteral("connecting"));
    WaitForReply(QStringLiteral("220"));
    SendText(QStringLiteral("HELO ") + Domain + crlf);
    ReportStatus(QStringLiteral("connected"));
    WaitForReply(QStringLiteral("250"));
    SendText(envelope(QStringLiteral("MAIL FROM:"), FromAddress));
    ReportStatus(QStringLiteral("sending message"));
    WaitForReply(QStringLiteral("250"));
    SendText(envelope(QStringLiteral("RCPT TO:"), recipient));
    WaitForReply(QStringLiteral("250"));
    SendText(QStringLiteral("DATA") + crlf);
    WaitForReply(QStringLiteral("354"));
    SendText(QStringLiteral("From: ") + oneLine(FromName) + crlf + QStringLiteral("Date: ") +
             dateText + crlf + QStringLiteral("X-Mailer: ") + mailerText() + crlf +
             QStringLiteral("To: ") + oneLine(ToName) + crlf + QStringLiteral("Subject: ") +
             oneLine(Subject) + crlf + crlf);
    SendText(dotStuffed(Message) + crlf + crlf);
    SendText(QStringLiteral(".") + crlf);
    WaitForReply(QStringLiteral("250"));
    SendText(QStringLiteral("QUIT") + crlf);
    ReportStatus(QStringLiteral("disconnecting"));
    WaitForReply(QStringLiteral("221"));
}

double SMTPClient::secondsSinceStart() const {
    return static_cast<double>(clock_.nsecsElapsed()) / 1e9;
}

// Sleeps in the event loop until something happens or the time-out is strictly past.
void SMTPClient::sleepUntilTimeOut() {
    const double remaining = static_cast<double>(TimeOut) - WaitElapsed;
    const double ms = std::clamp(std::ceil(remaining * 1000.0) + 1.0, 1.0, 1e9);
    EventPump::waitForEvents(static_cast<int>(ms));
}

void SMTPClient::waitForConnection() {
    if (SessionFailed) {
        return;
    }
    WaitStart = secondsSinceStart();
    while (SMTPWinsock.State() != SocketControl::sckConnected) {
        WaitElapsed = secondsSinceStart() - WaitStart;
        if (WaitElapsed > TimeOut) {
            fail(QStringLiteral("SMTP_CONNECT_ERR"));
            return;
        }
        sleepUntilTimeOut();
    }
}

void SMTPClient::WaitForReply(const QString& code) {
    if (SessionFailed) {
        return;
    }
    WaitStart = secondsSinceStart();
    for (;;) {
        if (QStringView(ReplyBuffer).left(3) == code) {
            ReplyBuffer.clear();
            return;
        }
        // Elapsed time is taken before events run, so a reply arriving in this last pass is
        // still looked at before the time-out is declared.
        WaitElapsed = secondsSinceStart() - WaitStart;
        sleepUntilTimeOut();
        if (WaitElapsed > TimeOut) {
            fail(QStringLiteral("SMTP_TIMEOUT"));
            break;
        }
        if (!ReplyBuffer.isEmpty() && !ReplyBuffer.contains(code)) {
            fail(QStringLiteral("SMTP_ERR:") + ReplyBuffer);
            break;
        }
    }
    ReplyBuffer.clear();
}

void SMTPClient::SendText(const QString& text) {
    if (!SessionFailed && SMTPWinsock.State() == SocketControl::sckConnected) {
        SMTPWinsock.SendData(text);
    }
}

void SMTPClient::ReportStatus(const QString& text) {
    if (SessionFailed) {
        return;
    }
    Status = text;
    errorLog().WriteLog(text);
}

void SMTPClient::fail(const QString& errorText) {
    if (SessionFailed) {
        return;
    }
    ReportStatus(errorText);
    lastError_ = errorText.trimmed();
    SessionFailed = true;
}

Log& SMTPClient::errorLog() {
    if (!ErrorLog) {
        ErrorLog = std::make_unique<Log>();
    }
    return *ErrorLog;
}

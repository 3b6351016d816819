#include "mail/MailMessage.h"

#include "mail/IPInfo.h"
#include "platform/Version.h"

#include <QList>
#include <algorithm>

namespace {

const QByteArray crlf = QByteArrayLiteral("\r\n");

// A line break inside a header value would start a header of its own.
QString oneLine(const QString& text) {
    QString line = text;
    return line.replace(u'\r', u' ').replace(u'\n', u' ');
}

// Length of the last line of a folded header value that began `used` characters in.
qsizetype lastLineLength(const QByteArray& folded, qsizetype used) {
    const qsizetype fold = folded.lastIndexOf(crlf);
    return fold < 0 ? used + folded.size() : folded.size() - fold - 2;
}

// "Name <address>", the name as encoded words when it holds anything but atoms and blanks.
QByteArray mailbox(const QString& name, const QString& address, qsizetype used) {
    if (name.isEmpty())
        return address.toUtf8();
    // A display name with specials would need quoting; an encoded word needs none.
    const bool atoms = std::all_of(name.cbegin(), name.cend(), [](QChar c) {
        return c.isLetterOrNumber() || QStringView(u" !#$%&'*+-/=?^_`{|}~").contains(c);
    });
    const QByteArray words = MailMessage::headerText(name, used, !atoms);
    const QByteArray angle = '<' + address.toUtf8() + '>';
    const bool fold =
        !atoms && lastLineLength(words, used) + 1 + angle.size() > MailMessage::foldedLineLimit;
    return words + (fold ? QByteArrayLiteral("\r\n ") : QByteArrayLiteral(" ")) + angle;
}

// One line of a split at LF, its CR still on. The dot that stuffing adds counts too: the limit
// is the line on the wire.
bool tooLong(const QByteArray& line) {
    const qsizetype size = line.size() - (line.endsWith('\r') ? 1 : 0);
    return size + (line.startsWith('.') ? 1 : 0) > MailMessage::lineLimit;
}

} // namespace

QByteArray MailMessage::withCrLf(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    QByteArray out;
    out.reserve(bytes.size() + 16);
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c != '\r' && c != '\n') {
            out += c;
            continue;
        }
        // A bare CR or LF is refused by careful servers: every line ends in CR LF.
        if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')
            ++i;
        out += crlf;
    }
    return out;
}

QByteArray MailMessage::dotStuffed(const QByteArray& text) {
    QByteArray out;
    out.reserve(text.size() + 16);
    bool lineStart = true;
    for (const char c : text) {
        if (lineStart && c == '.')
            out += '.';
        out += c;
        lineStart = c == '\n';
    }
    return out;
}

QByteArray MailMessage::headerText(const QString& text, qsizetype used, bool encode) {
    const QString line = oneLine(text);
    // Text that merely looks like an encoded word would be decoded by mail readers.
    const bool plain = !encode && line.size() <= 900 && !line.contains(QLatin1String("=?")) &&
                       std::all_of(line.cbegin(), line.cend(), [](QChar c) {
                           return c.unicode() >= 0x20 && c.unicode() < 0x7F;
                       });
    if (plain)
        return line.toLatin1();
    // Encoded words never split a character; each line, the header's name on the first and the
    // folding blank on the others included, stays within the limit.
    static const QByteArray open = QByteArrayLiteral("=?UTF-8?B?");
    static const QByteArray close = QByteArrayLiteral("?=");
    const QByteArray bytes = line.toUtf8();
    QByteArray out;
    qsizetype taken = used;
    for (qsizetype start = 0; start < bytes.size();) {
        const qsizetype room = foldedLineLimit - taken - open.size() - close.size();
        const qsizetype most = std::max<qsizetype>(room / 4 * 3, 3);
        qsizetype end = std::min(start + most, bytes.size());
        while (end < bytes.size() && end > start + 1 && (bytes[end] & 0xC0) == 0x80)
            --end;
        out += (out.isEmpty() ? QByteArray() : crlf + ' ') + open +
               bytes.mid(start, end - start).toBase64() + close;
        start = end;
        taken = 1; // the folding blank
    }
    return out;
}

QByteArray MailMessage::quotedPrintable(const QByteArray& text) {
    static const char hex[] = "0123456789ABCDEF";
    QByteArray out;
    out.reserve(text.size() * 3 / 2);
    qsizetype column = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            out += crlf;
            column = 0;
            ++i;
            continue;
        }
        const bool lineEnd = i + 1 >= text.size() || text[i + 1] == '\r';
        // Blanks stay unless they end a line, where transports may drop them.
        bool literal = (c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !lineEnd);
        // A soft break "=" ends the line: it needs one place of its own.
        if (column + (literal ? 1 : 3) > foldedLineLimit - 1) {
            out += '=' + crlf;
            column = 0;
        }
        // A dot that begins a line would be stuffed on the wire, one more than the limit.
        if (column == 0 && c == '.')
            literal = false;
        const qsizetype width = literal ? 1 : 3;
        if (literal) {
            out += static_cast<char>(c);
        } else {
            out += '=';
            out += hex[c >> 4];
            out += hex[c & 0x0F];
        }
        column += width;
    }
    return out;
}

bool MailMessage::isMailAddress(const QString& address) {
    const qsizetype at = address.lastIndexOf(u'@');
    if (at <= 0 || at == address.size() - 1 || address.size() > 320)
        return false;
    return std::none_of(address.cbegin(), address.cend(), [](QChar c) {
        return c.unicode() <= 0x20 || c.unicode() == 0x7F ||
               QStringView(u"<>,;\"()[]\\").contains(c);
    });
}

QString MailMessage::senderDomain(const QString& fallback) const {
    const QString address = oneLine(FromAddress).trimmed();
    const QString domain = address.mid(address.lastIndexOf(u'@') + 1);
    if (address.contains(u'@') && isMailAddress(QStringLiteral("x@") + domain))
        return domain;
    return isMailAddress(QStringLiteral("x@") + fallback) ? fallback
                                                          : QLatin1String(IPInfo::defaultDomain);
}

QByteArray MailMessage::content(const QString& recipient, const QString& dateText,
                                const QByteArray& messageId) const {
    QByteArray text = withCrLf(Message) + crlf + crlf;
    const QList<QByteArray> lines = text.split('\n');
    // Only a line too long for SMTP needs an encoding; otherwise the text goes as it is.
    const bool encoded = std::any_of(lines.cbegin(), lines.cend(), tooLong);
    if (encoded)
        text = quotedPrintable(text);
    const QString from = oneLine(FromAddress).trimmed();
    const QString to = oneLine(recipient).trimmed();
    return "From: " + mailbox(FromName, from, 6) + crlf + "Date: " + dateText.toLatin1() + crlf +
           "Message-ID: <" + messageId + '>' + crlf +
           "X-Mailer: " + QByteArray(Version::productName) + ' ' + Version::text + crlf +
           "To: " + mailbox(ToName, to, 4) + crlf + "Subject: " + headerText(Subject, 9) + crlf +
           "MIME-Version: 1.0" + crlf + "Content-Type: text/plain; charset=UTF-8" + crlf +
           "Content-Transfer-Encoding: " + (encoded ? "quoted-printable" : "8bit") + crlf + crlf +
           text;
}

QString MailMessage::GMTDateText(const QDateTime& when) {
    static const char* const days[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const QDateTime utc = when.toUTC();
    const QDate date = utc.date();
    const QTime time = utc.time();
    return QString::asprintf("%s, %02d %s %04d %02d:%02d:%02d +0000", days[date.dayOfWeek() - 1],
                             date.day(), months[date.month() - 1], date.year(), time.hour(),
                             time.minute(), time.second());
}

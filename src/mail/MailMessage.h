#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

// One plain-text mail as it goes to one recipient: headers and text, encoded so that every line
// is one that mail systems accept. Pure: the date, the identifier and the recipient come from
// the caller, so a message reads the same in a test as on the wire.
class MailMessage final {
  public:
    QString FromName;
    QString FromAddress; // also the envelope sender
    QString ToName;
    QString Subject;
    QString Message; // lines end in CR LF, LF or CR; each goes out ending in CR LF

    // Header block, empty line and text (followed by two line ends), CR LF throughout; not yet
    // dot-stuffed.
    QByteArray content(const QString& recipient, const QString& dateText,
                       const QByteArray& messageId) const;
    // The domain of the sender address, or fallback when that is no usable domain.
    QString senderDomain(const QString& fallback) const;

    // CR LF line ends, and lines that begin with "." get a second one, so the text arrives
    // unchanged and a lone "." cannot end the data early.
    static QByteArray dotStuffed(const QByteArray& text);
    // The text with every line end made CR LF.
    static QByteArray withCrLf(const QString& text);
    // A header value for a header whose name and ": " take `used` characters: as it is when it
    // is plain ASCII that cannot be read as an encoded word (and encode is not set), otherwise
    // as RFC 2047 encoded words folded onto lines of at most foldedLineLimit characters.
    static QByteArray headerText(const QString& text, qsizetype used, bool encode = false);
    // Quoted-printable (RFC 2045) of CR LF-ended lines: each line keeps its line end, and soft
    // breaks keep every encoded line within foldedLineLimit characters.
    static QByteArray quotedPrintable(const QByteArray& text);
    static bool isMailAddress(const QString& address);
    // The Date header's text for a wall-clock moment, in Greenwich time by the moment's own
    // offset from UTC: "Sun, 06 Dec 2026 21:44:56 +0000", with English names whatever the
    // locale, since a localised month name makes the header unreadable to mail programs.
    static QString GMTDateText(const QDateTime& when);

    // The longest line SMTP lets a message carry, line end not counted.
    static constexpr qsizetype lineLimit = 998;
    static constexpr qsizetype foldedLineLimit = 76;
};

#include "mail/MailMessage.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

// What a mail reader makes of a folded header value: the encoded words' text, joined.
QString decodedHeader(const QByteArray& value) {
    static const QRegularExpression word(QStringLiteral("=\\?UTF-8\\?B\\?([^?]*)\\?="));
    if (!value.startsWith("=?"))
        return QString::fromUtf8(value);
    QString text;
    for (const auto& match : word.globalMatch(QString::fromLatin1(value))) {
        const QByteArray bytes = QByteArray::fromBase64(match.captured(1).toLatin1());
        EXPECT_TRUE(QString::fromUtf8(bytes).toUtf8() == bytes) << "a character split";
        text += QString::fromUtf8(bytes);
    }
    return text;
}

QByteArray decodedQuotedPrintable(QByteArray text) {
    text.replace("=\r\n", "");
    QByteArray out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != '=') {
            out += text[i];
            continue;
        }
        out += QByteArray::fromHex(text.mid(i + 1, 2));
        i += 2;
    }
    return out;
}

qsizetype longestLine(const QByteArray& text) {
    qsizetype longest = 0;
    for (const QByteArray& line : text.split('\n'))
        longest = std::max(longest, line.size() - (line.endsWith('\r') ? 1 : 0));
    return longest;
}

} // namespace

TEST(MailMessageTest, HeaderValuesStayPlainOnlyWhenNoReaderCanMistakeThemAndFoldWithin76) {
    const struct {
        QString text;
        qsizetype used;
        bool encode, plain;
    } rows[] = {
        {"Monitored Task Failure Report (EDITOR)", 9, false, true},
        {"Report (=?UTF-8?B?QQ==?=)", 9, false, false}, // looks like an encoded word
        {"a\r\nBcc: x@evil.example", 9, false, true},   // one line, blanks for breaks
        {QString(901, u'A'), 9, false, false},
        {QString(100, u'\u03a9') + "\u20ac!", 9, false, false},
        {"Ops Cc: cc@evil.example", 4, true, false},
    };
    for (const auto& row : rows) {
        const QByteArray value = MailMessage::headerText(row.text, row.used, row.encode);
        QString expected = row.text;
        expected.replace('\r', ' ').replace('\n', ' ');
        EXPECT_EQ(decodedHeader(value), expected) << qPrintable(row.text);
        EXPECT_EQ(value.startsWith("=?"), !row.plain) << qPrintable(row.text);
        const QList<QByteArray> lines = value.split('\n');
        for (qsizetype i = 0; !row.plain && i < lines.size(); ++i)
            EXPECT_LE(lines[i].size() - lines[i].endsWith('\r') + (i == 0 ? row.used : 0), 76);
    }
}

// The text arrives unchanged: as it is while every line fits SMTP's 998, quoted-printable once
// one does not (the stuffed dot counts); dot-stuffing and CR LF on the wire either way.
TEST(MailMessageTest, TextNeedsAnEncodingOnlyForLinesSMTPCannotCarry) {
    const struct {
        QString text;
        bool quoted;
    } rows[] = {
        {"Prowlix\r\nline\nbare\rend", false},
        {QString(998, u'a'), false},
        {QString(999, u'a'), true},
        {"." + QString(997, u'a'), true},
        {QString(500, u'\u00e9') + "=" + QString(10, u' '), true},
    };
    for (const auto& row : rows) {
        MailMessage message;
        message.FromName = "Prowlix";
        message.FromAddress = "Prowlix@corp-net.example";
        message.ToName = "Ops\nCc: cc@evil.example";
        message.Subject = "Report";
        message.Message = row.text;
        const QByteArray content = message.content(" ops@example.org ", "date", "id@x");
        const qsizetype split = content.indexOf("\r\n\r\n");
        const QByteArray headers = content.left(split), body = content.mid(split + 4);
        EXPECT_TRUE(headers.contains(
            "\r\nTo: =?UTF-8?B?T3BzIENjOiBjY0BldmlsLmV4YW1wbGU=?= <ops@example.org>\r\n"));
        EXPECT_TRUE(headers.endsWith(row.quoted ? "quoted-printable" : "8bit"));
        EXPECT_EQ(row.quoted ? decodedQuotedPrintable(body) : body,
                  MailMessage::withCrLf(row.text) + "\r\n\r\n");
        EXPECT_LE(longestLine(MailMessage::dotStuffed(content)), row.quoted ? 76 : 998);
    }
    EXPECT_EQ(MailMessage::dotStuffed(".a\r\n..\r\nb.\r\n."), "..a\r\n...\r\nb.\r\n..");
    EXPECT_EQ(MailMessage::withCrLf("a\nb\rc\r\n\n"), "a\r\nb\r\nc\r\n\r\n");
}

TEST(MailMessageTest, DateIsGreenwichTimeByTheMomentsOwnOffset) {
    const struct {
        const char* local;
        int offsetMinutes; // east of Greenwich
        const char* text;
    } rows[] = {
        {"2026-12-05T07:33:28", 60, "Sat, 05 Dec 2026 06:33:28 +0000"},
        {"2026-12-05T07:33:28", -240, "Sat, 05 Dec 2026 11:33:28 +0000"}, // UTC-5 in daylight time
        // Year and leap-day roll-over, half- and quarter-hour zones.
        {"2026-12-31T23:30:00", -60, "Fri, 01 Jan 2027 00:30:00 +0000"},
        {"2024-03-01T00:15:00", 330, "Thu, 29 Feb 2024 18:45:00 +0000"},
        {"2026-06-01T12:00:00", -315, "Mon, 01 Jun 2026 17:15:00 +0000"},
        {"2026-06-01T12:00:00", -240, "Mon, 01 Jun 2026 16:00:00 +0000"},
    };
    for (const auto& row : rows) {
        QDateTime when = QDateTime::fromString(QLatin1String(row.local), Qt::ISODate);
        when.setOffsetFromUtc(row.offsetMinutes * 60);
        EXPECT_EQ(MailMessage::GMTDateText(when), QLatin1String(row.text)) << row.local;
    }
    // The local clock's moments carry the zone in force, daylight-saving time included.
    const QByteArray saved = qgetenv("TZ");
    const auto local = [](const char* tz) {
        qputenv("TZ", tz);
        return MailMessage::GMTDateText(QDateTime(QDate(2026, 12, 5), QTime(7, 33, 28)));
    };
    EXPECT_EQ(local("IST-5:30"), "Sat, 05 Dec 2026 02:03:28 +0000");
    // Daylight-saving time the whole year round, one hour ahead of UTC-5.
    EXPECT_EQ(local("EST5EDT,J1/0,J365/25"), "Sat, 05 Dec 2026 11:33:28 +0000");
    saved.isNull() ? qunsetenv("TZ") : qputenv("TZ", saved);
}

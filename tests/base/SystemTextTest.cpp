#include "base/SystemText.h"

#include <gtest/gtest.h>

// Whatever the bytes of a program path, text made of them gives the same bytes back; valid UTF-8
// reads as itself.
TEST(SystemTextTest, EveryByteSequenceSurvivesTheRoundTrip) {
    const QByteArray rows[] = {"\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", // valid
                               "prog\xff \xc0\x80 \xe0\x80\xaf", // never valid; overlong forms
                               "\xed\xa0\x80\xed\xb2\x80 \xf4\x90\x80\x80", // surrogates, too high
                               "\x80 cut short: \xe2\x82", QByteArray("nul\0inside", 10)};
    for (const QByteArray& bytes : rows) {
        const QString text = fromSystemBytes(bytes);
        EXPECT_EQ(toSystemBytes(text), bytes) << bytes.toHex().constData();
        EXPECT_FALSE(text.contains(QChar::ReplacementCharacter)) << bytes.toHex().constData();
        if (QString::fromUtf8(bytes).toUtf8() == bytes) {
            EXPECT_EQ(text, QString::fromUtf8(bytes)) << bytes.toHex().constData();
        }
    }
    // A real surrogate pair whose low half looks like an escaped byte stays one character.
    const QString pair = QString::fromUcs4(U"\U00010C80");
    EXPECT_EQ(toSystemBytes(pair), pair.toUtf8());
}

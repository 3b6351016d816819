#include "Conversions.h"

#include "RuntimeError.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

using namespace Conversions;

namespace {

QString errorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const RuntimeError& error) {
        return error.description();
    }
    return {};
}

TEST(Val, ReadsTheLeadingNumberSkippingBlanksAnywhere) {
    EXPECT_EQ(Val("8180"), 8180);
    EXPECT_EQ(Val("  12abc"), 12);
    EXPECT_EQ(Val("1 2\t3\n4"), 1234);
    EXPECT_EQ(Val("1,000"), 1); // a thousands separator ends the number
    EXPECT_EQ(Val("180.5"), 180.5);
    EXPECT_EQ(Val(" - 5"), -5);
    EXPECT_EQ(Val("+.5"), 0.5);
    EXPECT_EQ(Val("1.2.3"), 1.2);
    EXPECT_EQ(Val("12\r34"), 12); // a carriage return is no blank
    EXPECT_EQ(Val("abc"), 0);
    EXPECT_EQ(Val(""), 0);
    EXPECT_EQ(Val("-"), 0);
    EXPECT_EQ(Val("."), 0);
}

TEST(Val, ExponentsAndRadixPrefixes) {
    EXPECT_EQ(Val("1e3"), 1000);
    EXPECT_EQ(Val("2.5E-1"), 0.25);
    EXPECT_EQ(Val("1d2"), 100);
    EXPECT_EQ(Val("1 e 2"), 100);
    EXPECT_EQ(Val("7e"), 7); // no digits: no exponent
    EXPECT_EQ(Val("7e+x"), 7);
    EXPECT_EQ(Val("&H1F"), 31);
    EXPECT_EQ(Val("&h1fz"), 31);
    EXPECT_EQ(Val("&O17"), 15);
    EXPECT_EQ(Val("&O19"), 1);
    EXPECT_EQ(Val("&HFFFF"), -1);
    EXPECT_EQ(Val("&H10000"), 65536);
    EXPECT_EQ(Val("&HFFFFFFFF"), -1);
    EXPECT_EQ(Val("&H"), 0);
    EXPECT_EQ(Val("&X1"), 0);
    EXPECT_EQ(errorOf([] { Val("1e400"); }), "Overflow");
}

TEST(CInt, RoundsHalfToEvenAndReportsErrors) {
    EXPECT_EQ(CInt(" 25 "), 25);
    EXPECT_EQ(CInt("\t30"), 30);
    EXPECT_EQ(CInt("2.5"), 2);
    EXPECT_EQ(CInt("3.5"), 4);
    EXPECT_EQ(CInt("-2.5"), -2);
    EXPECT_EQ(CInt("2.51"), 3);
    EXPECT_EQ(CInt("1e2"), 100);
    EXPECT_EQ(CInt("&H10"), 16);
    EXPECT_EQ(CInt("32767.4"), 32767);
    EXPECT_EQ(CInt("-32768.5"), -32768);
    for (const char* text : {"abc", "", "  ", "12abc", "1 2", "1,000", "&H"})
        EXPECT_EQ(errorOf([text] { CInt(text); }), "Type mismatch") << text;
    for (const char* text : {"32768", "32767.5", "-32769", "1e10", "1e400"})
        EXPECT_EQ(errorOf([text] { CInt(text); }), "Overflow") << text;
}

TEST(CBool, WordsInAnyCaseAndNumbers) {
    EXPECT_TRUE(CBool("True"));
    EXPECT_TRUE(CBool("TRUE"));
    EXPECT_TRUE(CBool(" true "));
    EXPECT_FALSE(CBool("fAlSe"));
    EXPECT_TRUE(CBool("-1"));
    EXPECT_TRUE(CBool("0.5"));
    EXPECT_FALSE(CBool("0"));
    for (const char* text : {"yes", "", "1x", "tru"})
        EXPECT_EQ(errorOf([text] { CBool(text); }), "Type mismatch") << text;
}

TEST(NumberText, PlainDecimalFractionOnlyWhenPresent) {
    EXPECT_EQ(numberText(180), "180");
    EXPECT_EQ(numberText(180.5), "180.5");
    EXPECT_EQ(numberText(0.1), "0.1");
    EXPECT_EQ(numberText(-0.0), "0");
    EXPECT_EQ(numberText(1e20), "100000000000000000000");
}

TEST(RoundHalfEven, HalvesToEvenAndNoUndefinedBehaviour) {
    EXPECT_EQ(roundHalfEven(0.5), 0);
    EXPECT_EQ(roundHalfEven(1.5), 2);
    EXPECT_EQ(roundHalfEven(2.5), 2);
    EXPECT_EQ(roundHalfEven(-1.5), -2);
    EXPECT_EQ(roundHalfEven(8180.49), 8180);
    EXPECT_EQ(roundHalfEven(std::nan("")), 0);
    EXPECT_EQ(roundHalfEven(1e300), std::numeric_limits<qint64>::max());
    EXPECT_EQ(roundHalfEven(-1e300), std::numeric_limits<qint64>::min());
    EXPECT_EQ(roundHalfEven(std::numeric_limits<double>::infinity()),
              std::numeric_limits<qint64>::max());
}

} // namespace

#include "core/Conversions.h"

#include "EngineDoubles.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

using namespace Conversions;
using testsupport::errorText;

namespace {

TEST(Val, LeadingNumberWithBlanksAnywhereExponentsAndRadixPrefixes) {
    // A thousands separator, a carriage return or a second point ends the number.
    const std::pair<const char*, double> rows[] = {
        {"  12abc", 12}, {"1 2\t3\n4", 1234}, {"1,000", 1}, {" - 5", -5},       {"+.5", 0.5},
        {"1.2.3", 1.2},  {"12\r34", 12},      {"", 0},      {".", 0},           {"2.5E-1", 0.25},
        {"1d2", 100},    {"1 e 2", 100},      {"7e+x", 7},  {"&h1fz", 31},      {"&O19", 1},
        {"&HFFFF", -1},  {"&H10000", 65536},  {"&H", 0},    {"&HFFFFFFFF", -1}, {"&X1", 0}};
    for (const auto& [text, value] : rows)
        EXPECT_EQ(Val(text), value) << text;
    EXPECT_EQ(errorText([] { Val("1e400"); }), "Overflow");
}

TEST(CIntAndCBool, RoundHalfToEvenAcceptBlanksAndReportErrors) {
    const std::pair<const char*, int> rows[] = {
        {" 25 ", 25}, {"2.5", 2},   {"3.5", 4},         {"-2.5", -2},
        {"1e2", 100}, {"&H10", 16}, {"32767.4", 32767}, {"-32768.5", -32768}};
    for (const auto& [text, value] : rows)
        EXPECT_EQ(CInt(text), value) << text;
    for (const char* text : {"abc", "  ", "12abc", "1 2", "&H"})
        EXPECT_EQ(errorText([text] { CInt(text); }), "Type mismatch") << text;
    for (const char* text : {"32768", "32767.5", "1e400"})
        EXPECT_EQ(errorText([text] { CInt(text); }), "Overflow") << text;
    EXPECT_TRUE(CBool(" true ") && CBool("-1") && CBool("0.5") && !CBool("fAlSe") && !CBool("0"));
    for (const char* text : {"yes", "", "1x"})
        EXPECT_EQ(errorText([text] { CBool(text); }), "Type mismatch") << text;
}

TEST(NumberText, PlainDecimalsAndSafeRoundingOfAnyDouble) {
    EXPECT_EQ(numberText(0.1), "0.1");
    EXPECT_EQ(numberText(-0.0), "0");
    EXPECT_EQ(numberText(1e20), "100000000000000000000");
    // What would be undefined behaviour in a plain cast.
    EXPECT_EQ(roundHalfEven(std::nan("")), 0);
    EXPECT_EQ(roundHalfEven(-1e300), std::numeric_limits<qint64>::min());
    EXPECT_EQ(roundHalfEven(INFINITY), std::numeric_limits<qint64>::max());
}

} // namespace

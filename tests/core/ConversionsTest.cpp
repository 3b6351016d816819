#include "Conversions.h"

#include "EngineDoubles.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

using namespace Conversions;
using testsupport::errorText;

namespace {

template <typename T> using Row = std::pair<const char*, T>;

TEST(Val, LeadingNumberWithBlanksAnywhereExponentsAndRadixPrefixes) {
    // A thousands separator, a carriage return or a second point ends the number.
    const Row<double> rows[] = {{"  12abc", 12},    {"1 2\t3\n4", 1234},
                                {"1,000", 1},       {"180.5", 180.5},
                                {" - 5", -5},       {"+.5", 0.5},
                                {"1.2.3", 1.2},     {"12\r34", 12},
                                {"abc", 0},         {"", 0},
                                {"-", 0},           {".", 0},
                                {"1e3", 1000},      {"2.5E-1", 0.25},
                                {"1d2", 100},       {"1 e 2", 100},
                                {"7e", 7},          {"7e+x", 7},
                                {"&H1F", 31},       {"&h1fz", 31},
                                {"&O17", 15},       {"&O19", 1},
                                {"&HFFFF", -1},     {"&H10000", 65536},
                                {"&HFFFFFFFF", -1}, {"&H", 0},
                                {"&X1", 0}};
    for (const auto& [text, value] : rows)
        EXPECT_EQ(Val(text), value) << text;
    EXPECT_EQ(errorText([] { Val("1e400"); }), "Overflow");
}

TEST(CInt, RoundsHalfToEvenAndReportsErrors) {
    const Row<int> rows[] = {{" 25 ", 25},       {"\t30", 30},        {"2.5", 2},   {"3.5", 4},
                             {"-2.5", -2},       {"2.51", 3},         {"1e2", 100}, {"&H10", 16},
                             {"32767.4", 32767}, {"-32768.5", -32768}};
    for (const auto& [text, value] : rows)
        EXPECT_EQ(CInt(text), value) << text;
    for (const char* text : {"abc", "", "  ", "12abc", "1 2", "1,000", "&H"})
        EXPECT_EQ(errorText([text] { CInt(text); }), "Type mismatch") << text;
    for (const char* text : {"32768", "32767.5", "-32769", "1e10", "1e400"})
        EXPECT_EQ(errorText([text] { CInt(text); }), "Overflow") << text;
}

TEST(CBool, WordsInAnyCaseAndNumbers) {
    for (const char* text : {"True", " true ", "-1", "0.5"})
        EXPECT_TRUE(CBool(text)) << text;
    for (const char* text : {"fAlSe", "0"})
        EXPECT_FALSE(CBool(text)) << text;
    for (const char* text : {"yes", "", "1x", "tru"})
        EXPECT_EQ(errorText([text] { CBool(text); }), "Type mismatch") << text;
}

TEST(NumberText, PlainDecimalsAndSafeRoundingOfAnyDouble) {
    EXPECT_EQ(numberText(180), "180");
    EXPECT_EQ(numberText(0.1), "0.1");
    EXPECT_EQ(numberText(-0.0), "0");
    EXPECT_EQ(numberText(1e20), "100000000000000000000");
    // Halves to even are covered through CInt; here only what would be undefined behaviour.
    constexpr auto most = std::numeric_limits<qint64>::max();
    EXPECT_EQ(roundHalfEven(std::nan("")), 0);
    EXPECT_EQ(roundHalfEven(1e300), most);
    EXPECT_EQ(roundHalfEven(-1e300), std::numeric_limits<qint64>::min());
    EXPECT_EQ(roundHalfEven(std::numeric_limits<double>::infinity()), most);
}

} // namespace

#include "base/NumberPair.h"

#include <gtest/gtest.h>

// Each key keeps its own bounds through the one reader.
TEST(NumberPair, TwoPositiveNumbersWithinTheirBounds) {
    using N = NumberPair::Numbers;
    struct Row {
        const char* text;
        N numbers;
        double secondHighest;
        std::optional<std::pair<double, double>> expected;
    };
    const Row rows[] = {
        {" 3 , 60", N::Whole, 60, std::pair(3.0, 60.0)},
        {"3,61", N::Whole, 60, std::nullopt}, // above its highest
        {"3,1.5", N::Whole, 60, std::nullopt},
        {"0.5,1.5", N::Fractions, 60, std::pair(0.5, 1.5)},
        {"0,10", N::Whole, 60, std::nullopt},
        {"2,-5", N::Fractions, 60, std::nullopt},
        {"inf,1", N::Fractions, 60, std::nullopt},
        {"nan,1", N::Fractions, 60, std::nullopt},
        {"3", N::Whole, 60, std::nullopt},
        {"2,10,1", N::Whole, 60, std::nullopt},
        {"a,10", N::Whole, 60, std::nullopt},
        {"99999999999,1", N::Whole, 60, std::nullopt}, // above a whole count's highest
    };
    for (const Row& row : rows) {
        const auto pair = NumberPair::read(QString::fromLatin1(row.text), row.numbers, 2147483647.0,
                                           row.secondHighest);
        const auto got = pair ? std::optional(std::pair(pair->first, pair->second)) : std::nullopt;
        EXPECT_EQ(got, row.expected) << row.text;
    }
}

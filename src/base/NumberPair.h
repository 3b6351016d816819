#pragma once

#include <QString>
#include <optional>

// Two positive numbers written "first,second", blanks around each allowed: the form of the
// settings that take a count and a window, or a shortest and a longest wait.
struct NumberPair {
    enum class Numbers { Whole, Fractions };

    double first = 0;
    double second = 0;

    // Nothing when the text is not two such numbers, or one is above its highest.
    static std::optional<NumberPair> read(const QString& text, Numbers numbers, double firstHighest,
                                          double secondHighest);
};

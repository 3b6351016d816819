#pragma once

#include <cstdlib>

// A property of the code under fuzzing that must hold: the fuzzer reports the input that breaks it.
inline void check(bool condition) {
    if (!condition)
        std::abort();
}

#pragma once
// Repeated failures at a falling rate: a line on the 1st, 2nd, 4th, 8th ... failure in a row,
// and attempts twice as far apart each time up to a ceiling, so a fault that lasts a day leaves
// a few dozen lines, not thousands. Pure: the caller keeps the count and reads the clock. Header
// only, so the runtime, the core and every sink share it.
#include <chrono>
#include <cstdint>

struct FallingRate {
    std::chrono::milliseconds first;  // the wait after the first failure
    std::chrono::milliseconds most;   // the longest wait

    // True when a count going from `before` up to `after` reached a power of two (1, 2, 4 ...):
    // the failure that brought it there is worth a line.
    static constexpr bool LogDue(uint64_t before, uint64_t after) {
        return after > before && Bits(after) > Bits(before);
    }

    // The wait after the `failures`th failure in a row (1 for the first): first, twice first,
    // four times ... at most `most`.
    constexpr std::chrono::milliseconds Wait(uint64_t failures) const {
        std::chrono::milliseconds w = first;
        for (uint64_t i = 1; i < failures && w < most && w.count() > 0; ++i) w *= 2;
        return w < most ? w : most;
    }

    struct Step {
        bool log;                                  // say so now
        std::chrono::steady_clock::time_point at;  // try again then
    };
    // What to do after the `failures`th failure in a row, seen at `now`.
    Step After(uint64_t failures, std::chrono::steady_clock::time_point now) const {
        return {LogDue(failures - 1, failures), now + Wait(failures)};
    }

  private:
    static constexpr int Bits(uint64_t n) {
        int b = 0;
        for (; n != 0; n >>= 1) ++b;
        return b;
    }
};

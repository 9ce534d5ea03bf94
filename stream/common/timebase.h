#pragma once

#include <cstdint>

// A rational number of seconds per tick.
struct TimeBase {
    int64_t numerator;
    int64_t denominator;
};

// Internal linkage: every program that includes this carries its own copy.
static const TimeBase TIMEBASE_USEC = {1, 1000000};
static const TimeBase TIMEBASE_PTS = {1, 90000};  // 90 kHz presentation clock
static const TimeBase TIMEBASE_MS = {1, 1000};

// Local wall-clock time with milliseconds, and sleeping.
#pragma once

#include <cstdint>

namespace veltra::sys {

struct LocalTime {
    unsigned hour;
    unsigned minute;
    unsigned second;
    unsigned millisecond;
};

LocalTime local_time_now();

// Blocks the calling thread for the given number of milliseconds.
void sleep_ms(std::uint32_t ms);

// Milliseconds of a monotonic clock, for measuring waits.
std::uint64_t monotonic_ms();

}  // namespace veltra::sys

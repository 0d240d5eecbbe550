// The clock the service's evening work reads: when schedules are due, how
// archives are named and dated, how old the last good backup is. It is the
// system's clock; a test replaces it (see below) so that a week of nights
// passes in seconds. Jobs keep the system's own times.
#pragma once

#include <cstdint>
#include <string>

namespace veltra::tool::serve {

// Milliseconds since the Unix epoch. When the environment variable
// VELTRA_TEST_CLOCK_FILE names a file, the time is the number of
// milliseconds written in it (read at every call, so that the test moves
// time by rewriting it); a file that cannot be read gives the system's time.
// This is a hook for tests, not a setting for users.
std::int64_t service_now_ms();

// The local calendar time of a moment, as the shop's clock shows it.
struct LocalTime {
    int year = 0, month = 0, day = 0;  // 1-based month and day
    int hour = 0, minute = 0, second = 0;
};
LocalTime local_time(std::int64_t ms);
// The moment a local calendar time names (seconds of the day taken as given;
// a time skipped by a change to summer time comes out an hour later).
std::int64_t local_ms(const LocalTime& t);

// A moment as ISO 8601 local time with its offset from UTC, to the second:
// "2026-12-09T14:02:00+01:00".
std::string iso_local(std::int64_t ms);

}  // namespace veltra::tool::serve

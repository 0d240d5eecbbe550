// The service's clock and the shop's local time.
#include "service_clock.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

namespace veltra::tool::serve {

std::int64_t service_now_ms() {
    if (const char* file = std::getenv("VELTRA_TEST_CLOCK_FILE"); file && *file) {
        // A test moves this clock by replacing the file; on Windows the file
        // cannot be opened for the moment of the replacement. The clock then
        // stays where it was last read rather than jumping to the real time.
        static std::atomic<long long> last{0};
        std::ifstream in(file);
        long long ms = 0;
        if (in >> ms && ms > 0) {
            last = ms;
            return ms;
        }
        if (const long long was = last; was > 0) return was;
    }
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

LocalTime local_time(std::int64_t ms) {
    const std::time_t t = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
#ifdef _WIN32
    localtime_s(&tm, &t);
#else
    localtime_r(&t, &tm);
#endif
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

std::int64_t local_ms(const LocalTime& t) {
    std::tm tm{};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    tm.tm_isdst = -1;  // the system decides whether summer time holds then
    return static_cast<std::int64_t>(std::mktime(&tm)) * 1000;
}

std::string iso_local(std::int64_t ms) {
    using namespace std::chrono;
    const LocalTime t = local_time(ms);
    const sys_days day = year_month_day{year{t.year}, month{static_cast<unsigned>(t.month)},
                                        std::chrono::day{static_cast<unsigned>(t.day)}};
    const std::int64_t as_utc =
        (day.time_since_epoch().count() * 86'400LL + t.hour * 3600 + t.minute * 60 + t.second);
    const std::int64_t s = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    // A zone's offset is under a day; the clamp also tells the compiler so.
    const int offset = static_cast<int>(std::clamp<std::int64_t>((as_utc - s) / 60, -1439, 1439));
    const int away = offset < 0 ? -offset : offset;
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", t.year, t.month,
                  t.day, t.hour, t.minute, t.second, offset < 0 ? '-' : '+', away / 60, away % 60);
    return text;
}

}  // namespace veltra::tool::serve

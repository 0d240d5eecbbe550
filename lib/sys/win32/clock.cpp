// Local time and sleeping on Windows.
#include "sys/clock.hpp"

#include <windows.h>

namespace veltra::sys {

LocalTime local_time_now() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return LocalTime{now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}

void sleep_ms(std::uint32_t ms) {
    Sleep(ms);
}

std::uint64_t monotonic_ms() {
    return GetTickCount64();
}

}  // namespace veltra::sys

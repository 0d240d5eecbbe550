// Local time and sleeping on POSIX.
#include "sys/clock.hpp"

#include <time.h>

#include <cerrno>

namespace veltra::sys {

LocalTime local_time_now() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    return LocalTime{static_cast<unsigned>(local.tm_hour), static_cast<unsigned>(local.tm_min),
                     static_cast<unsigned>(local.tm_sec),
                     static_cast<unsigned>(now.tv_nsec / 1000000)};
}

void sleep_ms(std::uint32_t ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

std::uint64_t monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
           static_cast<std::uint64_t>(now.tv_nsec / 1000000);
}

}  // namespace veltra::sys

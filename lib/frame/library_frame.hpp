// The library frame: what loading and unloading do, and the two values the
// whole library shares, esito_sock and dirname.
#pragma once

#include <cstdint>
#include <string_view>

namespace veltra {

inline constexpr const char* kVersionText = "VELTRA V1.8 del 16/12/2014";

// Load notifications, numbered as the platform numbers them.
inline constexpr unsigned kProcessDetach = 0;
inline constexpr unsigned kProcessAttach = 1;
inline constexpr unsigned kThreadAttach = 2;
inline constexpr unsigned kThreadDetach = 3;

// Handles one load notification and returns the answer, always 1.
int library_notify(std::uintptr_t module, unsigned reason) noexcept;

// State of the socket library: -1 before process attach and after detach,
// 0 once started, else the platform's error code from starting it.
int esito_sock() noexcept;

// Directory of the host program's executable (set at process attach); "."
// when its path cannot be obtained.
const char* dirname() noexcept;

// Replace the shared values; the load notifications use these, and tests
// use them to stand in for another host program or a failed start.
void set_esito_sock(int value) noexcept;
void set_dirname(std::string_view dir) noexcept;

// dirname as process attach derives it from the executable's path.
std::string_view dirname_of(std::string_view executable) noexcept;

}  // namespace veltra

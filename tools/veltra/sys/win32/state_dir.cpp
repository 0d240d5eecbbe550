// The default state folder on Windows: the machine's ProgramData, since the
// service runs as a system service rather than as one user.
#include "sys/state_dir.hpp"

#include <cstdlib>

namespace veltra::sys {

std::filesystem::path default_state_dir() {
    const char* data = std::getenv("ProgramData");
    if (data == nullptr || data[0] == '\0') return {};
    return std::filesystem::path(data) / "VELTRA";
}

const char* default_state_dir_rule() {
    return "%ProgramData%\\VELTRA";
}

}  // namespace veltra::sys

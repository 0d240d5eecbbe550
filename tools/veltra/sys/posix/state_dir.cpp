// The default state folder on POSIX: the XDG base directory rule.
#include "sys/state_dir.hpp"

#include <cstdlib>

namespace veltra::sys {

std::filesystem::path default_state_dir() {
    // XDG asks that a relative XDG_STATE_HOME be ignored.
    const char* xdg = std::getenv("XDG_STATE_HOME");
    if (xdg != nullptr && xdg[0] == '/') return std::filesystem::path(xdg) / "veltra";
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0')
        return std::filesystem::path(home) / ".local" / "state" / "veltra";
    return {};
}

const char* default_state_dir_rule() {
    return "$XDG_STATE_HOME/veltra, else ~/.local/state/veltra";
}

}  // namespace veltra::sys

// Where the service keeps its journal when no --state-dir is given: the
// platform's own place for a program's lasting state.
#pragma once

#include <filesystem>

namespace veltra::sys {

// The default state folder; empty when the environment names none (no home).
std::filesystem::path default_state_dir();

// How default_state_dir() chooses, for --help.
const char* default_state_dir_rule();

}  // namespace veltra::sys

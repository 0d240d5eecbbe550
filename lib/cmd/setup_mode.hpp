// Table transfers inside setup mode: check the register is free, enter
// setup mode unless it is in it already, transfer, and leave it again only
// when this operation entered it.
#pragma once

#include <cstdint>

namespace veltra {

// 0 when the register is in setup mode (in_setup = 1) or free (state letter
// "I", no host connection); ERR_REG_NON_DISP otherwise; or the failure of
// reading its status.
std::int32_t ecr_check_ready(const char* hostname, std::int32_t* in_setup);

// "SETUP 1" when on, "SETUP 0" when off, through ecr_command.
std::int32_t ecr_setup_mode(const char* hostname, bool on);

// Puts a register file inside setup mode (ecr_command request 6).
std::int32_t ecr_put_table(const char* hostname, const char* pathname);

// Gets a register file inside setup mode (ecr_command request 7). keep not 0
// on entry: the register ends in the mode it was found in. keep 0 on entry:
// the register stays in setup mode and keep reports whether it was in it
// before (0: the caller sends "SETUP 0" when done).
std::int32_t ecr_get_table(const char* hostname, const char* pathname, std::int32_t* keep);

}  // namespace veltra

// The command channel: command files put to the register, its INFO answer
// fetched back, and waiting until a command has run.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace veltra {

// Bound on ecr_wait_idle: a register that stays busy longer than this is
// given up on with ERR_TIMEOUT.
inline constexpr std::uint32_t kWaitIdleLimitMs = 10 * 60 * 1000;

// Puts the command text to the register as COMMAND.TXT (made in the
// temporary directory and deleted afterwards, whatever the put gave).
// Returns ERR_FILE_CREATION or the result of the put.
std::int32_t ecr_send_cmd_txt(std::uint32_t addr_be, std::string_view command);

// Sends "INFO" and fetches RESPONSE.TXT; its first line goes into answer
// (cleared first; at most answer.size() - 2 characters, with its line end if
// one was read). Returns 0 or the failure of the command or the get.
std::int32_t ecr_recv_info_txt(std::uint32_t addr_be, std::span<char> answer);

// Reads the info variables every interval_ms until entry 19 (busy) is 0.
// Returns 0, the first failure of a reading, or ERR_TIMEOUT once limit_ms
// have passed with the register still busy.
std::int32_t ecr_wait_idle(std::uint32_t addr_be, std::uint32_t interval_ms,
                           std::uint32_t limit_ms = kWaitIdleLimitMs);

// True when the path's base name is one of ecr_files_list, compared without
// regard to letter case.
bool ecr_file_allowed(std::string_view path);

}  // namespace veltra

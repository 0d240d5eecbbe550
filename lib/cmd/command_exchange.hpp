// The command channel: command files put to the register, its INFO answer
// fetched back, and waiting until a command has run.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace veltra {

// Bound on ecr_wait_idle: a register that stays busy longer than this is
// given up on with ERR_TIMEOUT.
inline constexpr std::uint32_t kWaitIdleLimitMs = 10 * 60 * 1000;

// Puts the command text to the register as COMMAND.TXT (made in the
// temporary directory and deleted afterwards, whatever the put gave).
// Returns ERR_FILE_CREATION or the result of the put.
std::int32_t ecr_send_cmd_txt(std::uint32_t addr_be, std::string_view command);

// The same with the command file at path and a deadline for the whole put
// (see ecr_tftp_put_until); the file is deleted afterwards.
std::int32_t ecr_send_cmd_in(std::uint32_t addr_be, const std::string& path,
                             std::string_view command, std::uint64_t deadline_ms);

// Sends "INFO" and fetches RESPONSE.TXT; its first line goes into answer
// (cleared first; at most answer.size() - 2 characters, with its line end if
// one was read). Returns 0 or the failure of the command or the get.
std::int32_t ecr_recv_info_txt(std::uint32_t addr_be, std::span<char> answer);

// The INFO exchange for callers that ask many registers at once: the
// command and answer files live in folder (one per concurrent caller, since
// the library's temporary folder is shared), and the whole exchange ends by
// deadline_ms (sys::monotonic_ms()). answer receives the first line, as
// ecr_recv_info_txt gives it. Returns 0 or the failure of the put or the get.
std::int32_t ecr_query_info(std::uint32_t addr_be, const std::string& folder,
                            std::uint64_t deadline_ms, std::string& answer);

// Reads the info variables every interval_ms until entry 19 (busy) is 0.
// Returns 0, the first failure of a reading, or ERR_TIMEOUT once limit_ms
// have passed with the register still busy.
std::int32_t ecr_wait_idle(std::uint32_t addr_be, std::uint32_t interval_ms,
                           std::uint32_t limit_ms = kWaitIdleLimitMs);

// True when the path's base name is one of ecr_files_list, compared without
// regard to letter case.
bool ecr_file_allowed(std::string_view path);

}  // namespace veltra

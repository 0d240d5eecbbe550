// The register's INFO answer split by position into the 22-entry info
// variable list, and what the library reads from it: status, readiness and
// the register's generation.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace veltra {

inline constexpr std::size_t kInfoVars = 22;
// An INFO answer line as the library keeps it, terminator included.
inline constexpr std::size_t kInfoAnswerSize = 513;
// A status letter of ecr_get_status_new and its terminator.
inline constexpr std::size_t kStatusTextSize = 2;

// Positions the library reads.
inline constexpr std::size_t kInfoVersion = 0;
inline constexpr std::size_t kInfoBitmapType = 1;
inline constexpr std::size_t kInfoSetupFlag = 9;
inline constexpr std::size_t kInfoStateLetter = 10;
inline constexpr std::size_t kInfoOperating = 14;
inline constexpr std::size_t kInfoHostConn = 15;
inline constexpr std::size_t kInfoBusy = 19;
inline constexpr std::size_t kInfoReleaseName = 21;

using VarList = std::array<char*, kInfoVars>;

// Splits answer into info_mod (the answer with "," appended and every ","
// made a terminator) and points the 22 entries of var_list at the values
// (the text behind each field's first "="; empty for a field without "=" or
// one the answer lacks). An answer longer than info_mod allows is cut.
// Returns the number of fields counted, which may exceed 22.
int ecr_parse_info(const char* answer, std::span<char> info_mod, char** var_list);

// Fetches the INFO answer of the register into the library-wide buffers and
// splits it into var_list, valid until the next call. Returns 0 or the
// failure of the exchange.
std::int32_t ecr_read_info(std::uint32_t addr_be, VarList& var_list);

// A value read as a number: leading blanks skipped, conversion up to the
// first non-digit, an empty text 0; values beyond 32 bits are clamped.
std::int32_t info_number(const char* value);

// 2 when the release name (entry 21) is not empty; else 0 when the version
// (entry 0) begins with "V1."; else 1.
int ecr_info_generation(const VarList& var_list);

// The evaluation behind ecr_get_status: resolves the host, reads the
// register's info variables and returns 0 (ready: state letter "I" or "V",
// no command running), ERR_REG_IN_ERRORE, ERR_REG_NON_DISP, or a failure of
// resolution or the exchange. hst_conn receives entry 15 as a number, and
// sco_fis 1 for state letter "V".
std::int32_t ecr_eval_status(const char* hostname, std::uint32_t& addr_be, VarList& var_list,
                             std::int32_t& hst_conn, std::int32_t& sco_fis);

}  // namespace veltra

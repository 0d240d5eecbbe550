// The one-line failure message of the veltra tool: the library function, the
// result's name, value and meaning, and a hint where one is obvious.
#pragma once

#include <cstdint>
#include <string>

namespace veltra::tool {

// The meaning of a result code from the library's list ("" for codes
// outside it).
const char* result_meaning(std::int32_t code);

// The result's name as the tool prints it: "OK" for 0 or more, the
// library's name for -1 to -26, the decimal value for anything else.
std::string result_label(std::int32_t code);

// The hint for a failure against host_label, or "" when none is obvious.
std::string failure_hint(std::int32_t code, const std::string& host_label);

// "veltra: ecr_ping: ERR_TIMEOUT (-6): no answer in time (hint)".
std::string failure_line(const char* function, std::int32_t code, const std::string& hint);

}  // namespace veltra::tool

// Names of the result codes, generated from the one list in veltra.h.
#pragma once

#include <cstdint>

namespace veltra {

// Bytes the text of any result code needs, terminator included.
inline constexpr unsigned kResultTextSize = 32;

// The symbolic name of a code from -1 to -26; nullptr for any other code.
const char* result_name(std::int32_t code);

// Writes the code's text into buf (kResultTextSize bytes): its name for -1 to
// -26, else its decimal value. Returns buf.
char* ecr_err_name(std::int32_t code, char* buf);

}  // namespace veltra

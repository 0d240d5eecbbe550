// The register's display text as DELPAD shows it.
#pragma once

#include <string>
#include <string_view>

namespace delpad {

// The register opens every display message with 23 characters of its own.
inline constexpr std::size_t display_prefix = 23;

// The caption of the display line for one arrival of data: the first 23
// characters dropped, CR LF appended, then leading and trailing blanks
// removed (the appended CR LF keeps any blanks before it).
std::string display_text(std::string_view arrival);

}  // namespace delpad

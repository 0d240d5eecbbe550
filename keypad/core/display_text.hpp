// The register's display text as DELPAD shows it: always plain text, never
// markup, in the register's single-byte code page.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace delpad {

// The register opens every display message with 23 characters of its own.
inline constexpr std::size_t display_prefix = 23;

// The caption of the display line for one arrival of data: the first 23
// characters dropped, CR LF appended, then leading and trailing blanks
// removed (the appended CR LF keeps any blanks before it).
std::string display_text(std::string_view arrival);

// Single-byte text as Windows code page 1252 reads it: 0x80 is the euro
// sign; the five bytes the code page leaves undefined stay as the control
// characters of the same value, as Windows maps them.
std::u16string decode_cp1252(std::string_view bytes);

// The display text broken into the lines to draw: split at every line end
// (CR LF, LF or CR alone), a line longer than `columns` characters carried
// onto the next, and no empty line after the final line end. Blanks are
// kept, so a text padded with trailing blanks moves as the register means it
// to; control characters draw as blanks.
std::vector<std::u16string> display_lines(std::u16string_view text, std::size_t columns);

// The x offset that centres a line of `characters` cells of a fixed-pitch
// font `cell` wide in `width` (blanks take their cell like any character);
// 0 when the line is wider than the display.
int centred_left(std::size_t characters, int cell, int width);

}  // namespace delpad

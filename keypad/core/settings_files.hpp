// DELPAD's settings: the three text files beside the program (ip.txt,
// Data.txt, Send.txt), the first-field reading rule and the port conversion.
// Plain C++ with no window toolkit, so it is tested without a screen.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace delpad {

// The settings file names, in the order start-up reads them.
inline constexpr std::string_view ip_file = "ip.txt";
inline constexpr std::string_view data_file = "Data.txt";
inline constexpr std::string_view send_file = "Send.txt";

// The text without its leading and trailing blanks (spaces only).
std::string trim_blanks(std::string_view text);

// The first field of a settings file's content: the text up to the first
// comma or the end of the first line, leading blanks skipped; a field in
// double quotes is taken without its quotes. A UTF-8 byte-order mark at the
// start is skipped.
std::string first_field(std::string_view content);

// The first field of the file `name` in `dir`, the name compared without
// regard to case; an empty text when there is no such readable file.
std::string read_setting(const std::filesystem::path& dir, std::string_view name);

// Converts a port field: its leading decimal number (0 when there is none),
// rounded half to even. A result outside the signed 16-bit range does not
// fit: `port` keeps its value and the result is false.
bool convert_port(std::string_view text, std::int16_t& port);

// The one record "SALVA IP" writes: the address without blanks around it,
// in double quotes, then CR LF.
std::string ip_record(std::string_view address_field);

// Replaces ip.txt in `dir` with ip_record(address_field); the old file stays
// when the new one cannot be written. The result says whether ip.txt was
// replaced; the window reports a failure (a read-only folder, say).
bool save_ip(const std::filesystem::path& dir, std::string_view address_field);

}  // namespace delpad

// The dotted IPv4 parser of the socket library's classic inet_addr: one to
// four parts, each decimal, octal (leading 0) or hexadecimal (0x), the last
// part filling the remaining bytes, so 127.1 and 0x7f000001 are 127.0.0.1.
#pragma once

#include <cstdint>
#include <string_view>

namespace veltra {

// Parses text into an address in network byte order. The address may be
// followed by white space and anything after it, as the classic parser allows.
bool parse_dotted(std::string_view text, std::uint32_t& addr_be);

}  // namespace veltra

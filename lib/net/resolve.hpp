// From the caller's host text to the register's IPv4 address.
#pragma once

#include <cstdint>

#include "sys/sockets.hpp"

namespace veltra {

// No address: what addr holds when resolution did not take place.
inline constexpr std::uint32_t kNoAddress = 0xFFFFFFFFu;

// The name service: 0 and the first IPv4 address, or the service's error.
using NameLookup = int (*)(const char* name, std::uint32_t& addr_be);

// Resolves the host text (name, dotted address, or empty / "@..." for the
// default host name) into addr (network byte order). Returns 0,
// ERR_SOCKET_LIBRARY, ERR_HOSTNAME_NON_RISOLTO, ERR_INVALID_IP_ADDRESS or
// ERR_RETE_NON_DISP; addr is kNoAddress unless it returns 0.
std::int32_t ecr_resolve_host(const char* hostname, std::uint32_t& addr,
                              NameLookup lookup = sys::resolve_name);

}  // namespace veltra

// The socket library: start and stop, and name resolution. Error numbers
// are the platform's own; the callers map them to result codes.
#pragma once

#include <cstdint>
#include <string>

namespace veltra::sys {

// Starts the socket library: 0, or the platform's positive error code.
int sockets_start();
void sockets_stop();

// Resolves a host name to its first IPv4 address (network byte order).
// Returns 0, or the name service's own error code.
int resolve_name(const char* name, std::uint32_t& addr_be);

// True when a resolve_name error means the name service failed beyond
// recovery (as opposed to a name that does not exist).
bool name_error_is_nonrecoverable(int error);

// The address in dotted form.
std::string dotted(std::uint32_t addr_be);

// The last socket error of the calling thread.
int last_socket_error();

}  // namespace veltra::sys

// Windows Sockets 2.2: started at process attach, released at detach; names
// through gethostbyname, whose errors are the socket library's own numbers.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include "platform_traits.hpp"
#include "sys/sockets.hpp"

namespace veltra::sys {

static_assert(kNameErrorNoRecovery == WSANO_RECOVERY);

int sockets_start() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
}

void sockets_stop() { WSACleanup(); }

int resolve_name(const char* name, std::uint32_t& addr_be) {
    const hostent* host = gethostbyname(name);
    if (host == nullptr) return WSAGetLastError();
    if (host->h_addrtype != AF_INET || host->h_length != 4 || host->h_addr_list[0] == nullptr) {
        return WSANO_DATA;
    }
    std::memcpy(&addr_be, host->h_addr_list[0], 4);
    return 0;
}

bool name_error_is_nonrecoverable(int error) { return error == WSANO_RECOVERY; }

std::string dotted(std::uint32_t addr_be) {
    in_addr in;
    in.s_addr = addr_be;
    return inet_ntoa(in);
}

int last_socket_error() { return WSAGetLastError(); }

}  // namespace veltra::sys

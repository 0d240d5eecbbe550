// The socket library on POSIX: always started; names through getaddrinfo.
#include "sys/sockets.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform_traits.hpp"

namespace veltra::sys {

int sockets_start() { return 0; }

void sockets_stop() {}

int resolve_name(const char* name, std::uint32_t& addr_be) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(name, nullptr, &hints, &found);
    if (rc != 0) return rc;
    int result = EAI_NODATA;
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        if (a->ai_family == AF_INET && a->ai_addr != nullptr) {
            addr_be = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
            result = 0;
            break;
        }
    }
    freeaddrinfo(found);
    return result;
}

bool name_error_is_nonrecoverable(int error) { return error == EAI_FAIL; }

std::string dotted(std::uint32_t addr_be) {
    in_addr in{};
    in.s_addr = addr_be;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &in, text, sizeof text);
    return text;
}

int last_socket_error() { return errno; }

}  // namespace veltra::sys

static_assert(veltra::sys::kNameErrorNoRecovery == EAI_FAIL);

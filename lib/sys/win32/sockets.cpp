// Windows Sockets 2.2: started at process attach, released at detach; names
// through gethostbyname, whose errors are the socket library's own numbers.
#include "sys/sockets.hpp"

// winsock2.h first: mstcpip.h uses its types.
// clang-format off
#include <winsock2.h>
#include <mstcpip.h>
#include <ws2tcpip.h>
// clang-format on

#include <cstring>

#include "platform_traits.hpp"
#include "sys/clock.hpp"

namespace veltra::sys {

static_assert(kNameErrorNoRecovery == WSANO_RECOVERY);

int sockets_start() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
}

void sockets_stop() {
    WSACleanup();
}

int resolve_name(const char* name, std::uint32_t& addr_be) {
    const hostent* host = gethostbyname(name);
    if (host == nullptr) return WSAGetLastError();
    if (host->h_addrtype != AF_INET || host->h_length != 4 || host->h_addr_list[0] == nullptr) {
        return WSANO_DATA;
    }
    std::memcpy(&addr_be, host->h_addr_list[0], 4);
    return 0;
}

bool name_error_is_nonrecoverable(int error) {
    return error == WSANO_RECOVERY;
}

std::string dotted(std::uint32_t addr_be) {
    in_addr in;
    in.s_addr = addr_be;
    return inet_ntoa(in);
}

int last_socket_error() {
    return WSAGetLastError();
}

}  // namespace veltra::sys

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace veltra::sys {

UdpSocket::UdpSocket() {
    const SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        open_error_ = WSAGetLastError();
        return;
    }
    // A port-unreachable answer to an earlier datagram must not fail the
    // next receive with WSAECONNRESET.
    BOOL report = FALSE;
    DWORD ignored = 0;
    WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &ignored, nullptr, nullptr);
    handle_ = static_cast<std::intptr_t>(s);
}

UdpSocket::~UdpSocket() {
    if (valid()) closesocket(static_cast<SOCKET>(handle_));
}

bool UdpSocket::bind(std::uint32_t addr_be, std::uint16_t port) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = addr_be;
    local.sin_port = htons(port);
    return ::bind(static_cast<SOCKET>(handle_), reinterpret_cast<sockaddr*>(&local),
                  sizeof local) == 0;
}

std::uint16_t UdpSocket::local_port() const {
    sockaddr_in local{};
    int len = sizeof local;
    if (getsockname(static_cast<SOCKET>(handle_), reinterpret_cast<sockaddr*>(&local), &len) != 0) {
        return 0;
    }
    return ntohs(local.sin_port);
}

bool UdpSocket::send_to(std::uint32_t addr_be, std::uint16_t port,
                        std::span<const std::uint8_t> data) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = addr_be;
    to.sin_port = htons(port);
    const int sent =
        sendto(static_cast<SOCKET>(handle_), reinterpret_cast<const char*>(data.data()),
               static_cast<int>(data.size()), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    return sent == static_cast<int>(data.size());
}

RecvStatus UdpSocket::recv_from(std::span<std::uint8_t> buf, std::uint32_t timeout_ms,
                                Datagram& got, int& error) {
    const SOCKET s = static_cast<SOCKET>(handle_);
    if (timeout_ms == 0) {
        // Only what is already there: a receive time-out of 0 would mean none.
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        timeval tv{0, 0};
        if (select(0, &readable, nullptr, nullptr, &tv) <= 0) return RecvStatus::kTimedOut;
    } else if (timeout_ms != recv_timeout_ms_) {
        const DWORD ms = timeout_ms;
        if (setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms) !=
            0) {
            error = WSAGetLastError();
            return RecvStatus::kFailed;
        }
        recv_timeout_ms_ = timeout_ms;
    }
    sockaddr_in from{};
    int len = sizeof from;
    const int n = recvfrom(s, reinterpret_cast<char*>(buf.data()), static_cast<int>(buf.size()), 0,
                           reinterpret_cast<sockaddr*>(&from), &len);
    if (n == SOCKET_ERROR) {
        const int e = WSAGetLastError();
        if (e == WSAETIMEDOUT) return RecvStatus::kTimedOut;
        // A datagram longer than the buffer arrives cut, as on POSIX.
        if (e != WSAEMSGSIZE) {
            error = e;
            return RecvStatus::kFailed;
        }
        got.length = buf.size();
    } else {
        got.length = static_cast<std::size_t>(n);
    }
    got.from_addr = from.sin_addr.s_addr;
    got.from_port = ntohs(from.sin_port);
    return RecvStatus::kData;
}

}  // namespace veltra::sys

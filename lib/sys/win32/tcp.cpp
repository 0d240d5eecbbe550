// TCP sockets on Windows Sockets 2: socket ids are SOCKET handles, which
// the system keeps small; one beyond 32 bits is closed and refused.
#include "sys/tcp.hpp"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace veltra::sys {
namespace {

SOCKET handle(std::int32_t id) {
    return static_cast<SOCKET>(static_cast<std::uint32_t>(id));
}

}  // namespace

std::int32_t tcp_open(int& error) {
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        error = WSAGetLastError();
        return -1;
    }
    if (s > 0x7FFFFFFF) {
        closesocket(s);
        error = WSAEMFILE;
        return -1;
    }
    return static_cast<std::int32_t>(s);
}

int tcp_connect(std::int32_t id, std::uint32_t addr_be, std::uint16_t port, std::uint32_t wait_ms) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = addr_be;
    to.sin_port = htons(port);
    if (wait_ms == 0) {
        if (connect(handle(id), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            return WSAGetLastError();
        }
        return 0;
    }
    // Non-blocking for the connect alone, so the wait is ours and not the
    // system's SYN retries. select, not WSAPoll: older WSAPoll never reports
    // a refused connect.
    u_long on = 1;
    if (ioctlsocket(handle(id), FIONBIO, &on) != 0) return WSAGetLastError();
    int error = 0;
    if (connect(handle(id), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            fd_set writable;
            fd_set failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(handle(id), &writable);
            FD_SET(handle(id), &failed);
            timeval limit{static_cast<long>(wait_ms / 1000),
                          static_cast<long>((wait_ms % 1000) * 1000)};
            const int n = select(0, nullptr, &writable, &failed, &limit);
            if (n == SOCKET_ERROR) {
                error = WSAGetLastError();
            } else if (n == 0) {
                error = WSAETIMEDOUT;
            } else {
                int len = sizeof error;
                if (getsockopt(handle(id), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                               &len) != 0) {
                    error = WSAGetLastError();
                } else if (error == 0 && FD_ISSET(handle(id), &failed)) {
                    error = WSAECONNREFUSED;
                }
            }
        }
    }
    u_long off = 0;
    if (ioctlsocket(handle(id), FIONBIO, &off) != 0 && error == 0) error = WSAGetLastError();
    return error;
}

int tcp_no_linger(std::int32_t id) {
    const BOOL on = TRUE;
    return setsockopt(handle(id), SOL_SOCKET, SO_DONTLINGER, reinterpret_cast<const char*>(&on),
                      sizeof on) == 0
               ? 0
               : WSAGetLastError();
}

int tcp_set_timeouts(std::int32_t id, std::uint32_t recv_ms, std::uint32_t send_ms) {
    const DWORD rt = recv_ms;
    const DWORD st = send_ms;
    if (setsockopt(handle(id), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&rt),
                   sizeof rt) != 0) {
        return WSAGetLastError();
    }
    if (setsockopt(handle(id), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&st),
                   sizeof st) != 0) {
        return WSAGetLastError();
    }
    return 0;
}

TcpIo tcp_send(std::int32_t id, std::span<const std::uint8_t> data) {
    TcpIo io;
    while (io.bytes < data.size()) {
        const std::size_t left = data.size() - io.bytes;
        const int chunk = left > 0x40000000u ? 0x40000000 : static_cast<int>(left);
        const int n =
            send(handle(id), reinterpret_cast<const char*>(data.data() + io.bytes), chunk, 0);
        if (n == SOCKET_ERROR) {
            io.error = WSAGetLastError();
            io.status = io.error == WSAETIMEDOUT ? TcpStatus::kTimedOut : TcpStatus::kFailed;
            return io;
        }
        io.bytes += static_cast<std::size_t>(n);
    }
    io.status = TcpStatus::kDone;
    return io;
}

TcpIo tcp_recv(std::int32_t id, std::span<std::uint8_t> buf) {
    TcpIo io;
    const int room = buf.size() > 0x40000000u ? 0x40000000 : static_cast<int>(buf.size());
    const int n = recv(handle(id), reinterpret_cast<char*>(buf.data()), room, 0);
    if (n > 0) {
        io.status = TcpStatus::kDone;
        io.bytes = static_cast<std::size_t>(n);
    } else if (n == 0) {
        io.status = TcpStatus::kClosed;
    } else {
        io.error = WSAGetLastError();
        io.status = io.error == WSAETIMEDOUT ? TcpStatus::kTimedOut : TcpStatus::kFailed;
    }
    return io;
}

int tcp_pending(std::int32_t id, int& error) {
    u_long count = 0;
    if (ioctlsocket(handle(id), FIONREAD, &count) != 0) {
        error = WSAGetLastError();
        return -1;
    }
    return count > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(count);
}

bool tcp_peer_address(std::int32_t id, std::uint32_t& addr_be) {
    sockaddr_in peer{};
    int len = sizeof peer;
    if (getpeername(handle(id), reinterpret_cast<sockaddr*>(&peer), &len) != 0) return false;
    if (peer.sin_family != AF_INET) return false;
    addr_be = peer.sin_addr.s_addr;
    return true;
}

void tcp_shutdown(std::int32_t id) {
    shutdown(handle(id), SD_BOTH);
}

bool tcp_close(std::int32_t id) {
    if (id < 0) return false;
    int type = 0;
    int len = sizeof type;
    if (getsockopt(handle(id), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &len) != 0 ||
        type != SOCK_STREAM) {
        return false;
    }
    closesocket(handle(id));
    return true;
}

int tcp_timeout_error() {
    return WSAETIMEDOUT;
}

}  // namespace veltra::sys

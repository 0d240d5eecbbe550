// TCP sockets on POSIX: socket ids are file descriptors.
#include "sys/tcp.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace veltra::sys {

std::int32_t tcp_open(int& error) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    return fd;
}

int tcp_connect(std::int32_t id, std::uint32_t addr_be, std::uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = addr_be;
    to.sin_port = htons(port);
    while (connect(id, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

int tcp_no_linger(std::int32_t id) {
    linger off{};
    off.l_onoff = 0;
    return setsockopt(id, SOL_SOCKET, SO_LINGER, &off, sizeof off) == 0 ? 0 : errno;
}

int tcp_set_timeouts(std::int32_t id, std::uint32_t recv_ms, std::uint32_t send_ms) {
    const timeval rt{static_cast<time_t>(recv_ms / 1000),
                     static_cast<suseconds_t>((recv_ms % 1000) * 1000)};
    const timeval st{static_cast<time_t>(send_ms / 1000),
                     static_cast<suseconds_t>((send_ms % 1000) * 1000)};
    if (setsockopt(id, SOL_SOCKET, SO_RCVTIMEO, &rt, sizeof rt) != 0) return errno;
    if (setsockopt(id, SOL_SOCKET, SO_SNDTIMEO, &st, sizeof st) != 0) return errno;
    return 0;
}

TcpIo tcp_send(std::int32_t id, std::span<const std::uint8_t> data) {
    TcpIo io;
    while (io.bytes < data.size()) {
        // MSG_NOSIGNAL: a register that has gone must not kill the host with SIGPIPE.
        const ssize_t n = send(id, data.data() + io.bytes, data.size() - io.bytes, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            io.error = errno;
            io.status =
                errno == EAGAIN || errno == EWOULDBLOCK ? TcpStatus::kTimedOut : TcpStatus::kFailed;
            return io;
        }
        io.bytes += static_cast<std::size_t>(n);
    }
    io.status = TcpStatus::kDone;
    return io;
}

TcpIo tcp_recv(std::int32_t id, std::span<std::uint8_t> buf) {
    TcpIo io;
    for (;;) {
        const ssize_t n = recv(id, buf.data(), buf.size(), 0);
        if (n > 0) {
            io.status = TcpStatus::kDone;
            io.bytes = static_cast<std::size_t>(n);
            return io;
        }
        if (n == 0) {
            io.status = TcpStatus::kClosed;
            return io;
        }
        if (errno == EINTR) continue;
        io.error = errno;
        io.status =
            errno == EAGAIN || errno == EWOULDBLOCK ? TcpStatus::kTimedOut : TcpStatus::kFailed;
        return io;
    }
}

int tcp_pending(std::int32_t id, int& error) {
    int count = 0;
    if (ioctl(id, FIONREAD, &count) != 0) {
        error = errno;
        return -1;
    }
    return count;
}

bool tcp_peer_address(std::int32_t id, std::uint32_t& addr_be) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    if (getpeername(id, reinterpret_cast<sockaddr*>(&peer), &len) != 0) return false;
    if (peer.sin_family != AF_INET) return false;
    addr_be = peer.sin_addr.s_addr;
    return true;
}

void tcp_shutdown(std::int32_t id) {
    shutdown(id, SHUT_RDWR);
}

bool tcp_close(std::int32_t id) {
    if (id < 0) return false;
    int type = 0;
    socklen_t len = sizeof type;
    if (getsockopt(id, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM) return false;
    sockaddr_in local{};
    socklen_t alen = sizeof local;
    if (getsockname(id, reinterpret_cast<sockaddr*>(&local), &alen) != 0 ||
        local.sin_family != AF_INET) {
        return false;
    }
    close(id);
    return true;
}

int tcp_timeout_error() {
    return EAGAIN;
}

}  // namespace veltra::sys

// TCP sockets on POSIX: socket ids are file descriptors.
#include "sys/tcp.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "sys/clock.hpp"

namespace veltra::sys {

std::int32_t tcp_open(int& error) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    return fd;
}

int tcp_connect(std::int32_t id, std::uint32_t addr_be, std::uint16_t port, std::uint32_t wait_ms) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = addr_be;
    to.sin_port = htons(port);
    if (wait_ms == 0) {
        while (connect(id, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            if (errno != EINTR) return errno;
        }
        return 0;
    }
    // Non-blocking for the connect alone: a register whose accept queue is
    // full, or a firewall dropping SYNs, would otherwise hold the caller for
    // the kernel's two minutes of retries.
    const int flags = fcntl(id, F_GETFL);
    if (flags < 0 || fcntl(id, F_SETFL, flags | O_NONBLOCK) != 0) return errno;
    int error = 0;
    if (connect(id, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        error = errno;
        if (error == EINPROGRESS || error == EINTR) {
            const std::uint64_t deadline = monotonic_ms() + wait_ms;
            pollfd pfd{id, POLLOUT, 0};
            for (;;) {
                const std::uint64_t now = monotonic_ms();
                if (now >= deadline) {
                    error = ETIMEDOUT;
                    break;
                }
                const int n = poll(&pfd, 1, static_cast<int>(deadline - now));
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) {
                    error = errno;
                    break;
                }
                if (n == 0) continue;  // the deadline check above ends it
                socklen_t len = sizeof error;
                if (getsockopt(id, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
                break;
            }
        }
    }
    if (fcntl(id, F_SETFL, flags) != 0 && error == 0) error = errno;
    return error;
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

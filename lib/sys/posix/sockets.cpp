// The socket library on POSIX: always started; names through getaddrinfo.
#include "sys/sockets.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform_traits.hpp"
#include "sys/clock.hpp"

namespace veltra::sys {

int sockets_start() {
    return 0;
}

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

bool name_error_is_nonrecoverable(int error) {
    return error == EAI_FAIL;
}

std::string dotted(std::uint32_t addr_be) {
    in_addr in{};
    in.s_addr = addr_be;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &in, text, sizeof text);
    return text;
}

int last_socket_error() {
    return errno;
}

}  // namespace veltra::sys

static_assert(veltra::sys::kNameErrorNoRecovery == EAI_FAIL);

namespace veltra::sys {

UdpSocket::UdpSocket() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        open_error_ = errno;
        return;
    }
    handle_ = fd;
}

UdpSocket::~UdpSocket() {
    if (valid()) close(static_cast<int>(handle_));
}

bool UdpSocket::bind(std::uint32_t addr_be, std::uint16_t port) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = addr_be;
    local.sin_port = htons(port);
    return ::bind(static_cast<int>(handle_), reinterpret_cast<sockaddr*>(&local), sizeof local) ==
           0;
}

std::uint16_t UdpSocket::local_port() const {
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (getsockname(static_cast<int>(handle_), reinterpret_cast<sockaddr*>(&local), &len) != 0) {
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
    const ssize_t sent = sendto(static_cast<int>(handle_), data.data(), data.size(), MSG_NOSIGNAL,
                                reinterpret_cast<sockaddr*>(&to), sizeof to);
    return sent == static_cast<ssize_t>(data.size());
}

bool UdpSocket::set_recv_timeout(std::uint32_t timeout_ms, int& error) {
    timeval tv{static_cast<time_t>(timeout_ms / 1000),
               static_cast<suseconds_t>((timeout_ms % 1000) * 1000)};
    if (setsockopt(static_cast<int>(handle_), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
        error = errno;
        recv_timeout_ms_ = 0;
        return false;
    }
    recv_timeout_ms_ = timeout_ms;
    return true;
}

RecvStatus UdpSocket::recv_from(std::span<std::uint8_t> buf, std::uint32_t timeout_ms,
                                Datagram& got, int& error) {
    const int fd = static_cast<int>(handle_);
    // Not the time-out the socket holds: wait here, then take what came
    // without blocking.
    const bool polled = timeout_ms == 0 || timeout_ms != recv_timeout_ms_;
    const std::uint64_t deadline = monotonic_ms() + timeout_ms;
    for (;;) {
        while (polled) {
            pollfd pfd{fd, POLLIN, 0};
            const std::uint64_t now = monotonic_ms();
            const int left = now >= deadline ? 0 : static_cast<int>(deadline - now);
            const int ready = poll(&pfd, 1, left);
            if (ready > 0) break;
            if (ready == 0) return RecvStatus::kTimedOut;
            if (errno != EINTR) {
                error = errno;
                return RecvStatus::kFailed;
            }
        }
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = recvfrom(fd, buf.data(), buf.size(), polled ? MSG_DONTWAIT : 0,
                                   reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // Readable but nothing to take (a datagram dropped by its
                // checksum): wait on for the rest of the time.
                if (polled) continue;
                return RecvStatus::kTimedOut;
            }
            error = errno;
            return RecvStatus::kFailed;
        }
        got.length = static_cast<std::size_t>(n);
        got.from_addr = from.sin_addr.s_addr;
        got.from_port = ntohs(from.sin_port);
        return RecvStatus::kData;
    }
}

}  // namespace veltra::sys

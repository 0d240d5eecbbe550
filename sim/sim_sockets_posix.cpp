// The simulator's socket services on POSIX (BSD sockets, poll).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim_sockets.hpp"

namespace ecrsim::net {
namespace {

int fd(const Socket& s) {
    return static_cast<int>(s.handle());
}

sockaddr_in make_addr(std::uint32_t addr_be, std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addr_be;
    sa.sin_port = htons(port);
    return sa;
}

Socket bound(int type, std::uint32_t addr_be, std::uint16_t port, std::string& error) {
    Socket s(::socket(AF_INET, type, 0));
    if (!s.valid()) {
        error = std::strerror(errno);
        return s;
    }
    const int one = 1;
    if (type == SOCK_STREAM) ::setsockopt(fd(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa = make_addr(addr_be, port);
    if (::bind(fd(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        error = std::strerror(errno);
        s.close();
    }
    return s;
}

}  // namespace

Socket::~Socket() {
    close();
}

Socket& Socket::operator=(Socket&& o) noexcept {
    if (this != &o) {
        close();
        handle_ = o.handle_;
        o.handle_ = -1;
    }
    return *this;
}

void Socket::close() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
    handle_ = -1;
}

std::optional<std::uint32_t> parse_ipv4(const std::string& text) {
    in_addr a{};
    if (::inet_pton(AF_INET, text.c_str(), &a) != 1) return std::nullopt;
    return a.s_addr;
}

std::string dotted(std::uint32_t addr_be) {
    in_addr a{};
    a.s_addr = addr_be;
    char buf[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

std::string to_string(const Endpoint& e) {
    return dotted(e.addr_be) + ":" + std::to_string(e.port);
}

Socket udp_bind(std::uint32_t addr_be, std::uint16_t port, std::string& error) {
    Socket s = bound(SOCK_DGRAM, addr_be, port, error);
    if (s.valid()) {
        // Room for a burst of requests from several clients at once.
        const int size = 1 << 20;
        ::setsockopt(fd(s), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    return s;
}

Socket tcp_listen(std::uint32_t addr_be, std::uint16_t port, std::string& error) {
    Socket s = bound(SOCK_STREAM, addr_be, port, error);
    if (s.valid() && ::listen(fd(s), 8) != 0) {
        error = std::strerror(errno);
        s.close();
    }
    if (s.valid()) ::fcntl(fd(s), F_SETFL, ::fcntl(fd(s), F_GETFL) | O_NONBLOCK);
    return s;
}

Socket tcp_accept(const Socket& listener, Endpoint& peer) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    Socket s(::accept(fd(listener), reinterpret_cast<sockaddr*>(&sa), &len));
    if (s.valid()) {
        // Linux does not pass the listener's mode on to the connection.
        ::fcntl(fd(s), F_SETFL, ::fcntl(fd(s), F_GETFL) | O_NONBLOCK);
        peer = {sa.sin_addr.s_addr, ntohs(sa.sin_port)};
    }
    return s;
}

Socket tcp_connect(const Endpoint& to) {
    Socket s(::socket(AF_INET, SOCK_STREAM, 0));
    if (!s.valid()) return s;
    sockaddr_in sa = make_addr(to.addr_be, to.port);
    if (::connect(fd(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) s.close();
    return s;
}

std::uint16_t local_port(const Socket& s) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(fd(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
    return ntohs(sa.sin_port);
}

static long recv_from_flags(const Socket& s, std::span<std::uint8_t> buf, Endpoint& from,
                            int flags) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    const ssize_t n =
        ::recvfrom(fd(s), buf.data(), buf.size(), flags, reinterpret_cast<sockaddr*>(&sa), &len);
    if (n < 0) return -1;
    from = {sa.sin_addr.s_addr, ntohs(sa.sin_port)};
    return static_cast<long>(n);
}

long recv_from(const Socket& s, std::span<std::uint8_t> buf, Endpoint& from) {
    return recv_from_flags(s, buf, from, MSG_DONTWAIT);
}

long recv_from_blocking(const Socket& s, std::span<std::uint8_t> buf, Endpoint& from) {
    return recv_from_flags(s, buf, from, 0);
}

bool send_to(const Socket& s, std::span<const std::uint8_t> bytes, const Endpoint& to) {
    sockaddr_in sa = make_addr(to.addr_be, to.port);
    return ::sendto(fd(s), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&sa),
                    sizeof sa) == static_cast<ssize_t>(bytes.size());
}

long recv_some(const Socket& s, std::span<std::uint8_t> buf, bool& closed) {
    closed = false;
    const ssize_t n = ::recv(fd(s), buf.data(), buf.size(), MSG_DONTWAIT);
    if (n == 0) closed = true;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) closed = true;
    return n < 0 ? -1 : static_cast<long>(n);
}

long recv_blocking(const Socket& s, std::span<std::uint8_t> buf) {
    const ssize_t n = ::recv(fd(s), buf.data(), buf.size(), 0);
    return n < 0 ? -1 : static_cast<long>(n);
}

bool send_all(const Socket& s, std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd(s), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

long send_some(const Socket& s, std::span<const std::uint8_t> bytes) {
    const ssize_t n = ::send(fd(s), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return static_cast<long>(n);
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

std::vector<Readiness> wait_ready(std::span<const Interest> interests, int timeout_ms) {
    std::vector<pollfd> fds;
    fds.reserve(interests.size());
    for (const Interest& i : interests) {
        const short events = static_cast<short>((i.read ? POLLIN : 0) | (i.write ? POLLOUT : 0));
        fds.push_back({fd(*i.socket), events, 0});
    }
    const int n = ::poll(fds.data(), fds.size(), timeout_ms);
    std::vector<Readiness> ready(interests.size());
    if (n <= 0) return ready;
    for (std::size_t i = 0; i < fds.size(); ++i) {
        ready[i].readable = (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
        ready[i].writable = (fds[i].revents & POLLOUT) != 0;
    }
    return ready;
}

std::vector<bool> wait_readable(std::span<const Socket* const> sockets, int timeout_ms) {
    std::vector<Interest> interests;
    interests.reserve(sockets.size());
    for (const Socket* s : sockets) interests.push_back({s, true, false});
    const std::vector<Readiness> r = wait_ready(interests, timeout_ms);
    std::vector<bool> ready(sockets.size(), false);
    for (std::size_t i = 0; i < r.size(); ++i) ready[i] = r[i].readable;
    return ready;
}

void set_recv_timeout(const Socket& s, int timeout_ms) {
    timeval tv{};
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = (timeout_ms % 1000) * 1000;
    ::setsockopt(fd(s), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

}  // namespace ecrsim::net

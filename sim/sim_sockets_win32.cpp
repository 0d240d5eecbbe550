// The simulator's socket services on Windows (Winsock 2.2, WSAPoll). The
// simulator may run without the library, so Winsock is started here, once,
// before the first socket.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <string>
#include <thread>

#include "sim_sockets.hpp"

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace ecrsim::net {
namespace {

// Winsock for as long as the process lives; a no-op when the library (or
// anyone else) started it already, as the start-up count nests.
struct Winsock {
    bool started = false;
    Winsock() {
        WSADATA data;
        started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~Winsock() {
        if (started) WSACleanup();
    }
    Winsock(const Winsock&) = delete;
    Winsock& operator=(const Winsock&) = delete;
};

void ensure_winsock() {
    static const Winsock winsock;
}

SOCKET sock(const Socket& s) {
    return static_cast<SOCKET>(s.handle());
}

long long handle_of(SOCKET s) {
    return s == INVALID_SOCKET ? -1 : static_cast<long long>(s);
}

std::string error_text(int code) {
    char* text = nullptr;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string out = n > 0 && text != nullptr ? std::string(text, n) : std::string();
    if (text != nullptr) LocalFree(text);
    while (!out.empty() &&
           (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.'))
        out.pop_back();
    if (out.empty()) out = "Winsock error";
    return out + " (" + std::to_string(code) + ")";
}

sockaddr_in make_addr(std::uint32_t addr_be, std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addr_be;
    sa.sin_port = htons(port);
    return sa;
}

bool set_blocking(SOCKET s, bool blocking) {
    u_long nonblocking = blocking ? 0 : 1;
    return ioctlsocket(s, FIONBIO, &nonblocking) == 0;
}

// Whether a read would find something (or an error) right now.
bool readable_now(SOCKET s) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval none{0, 0};
    return select(0, &readable, nullptr, nullptr, &none) > 0;
}

Socket bound(int type, std::uint32_t addr_be, std::uint16_t port, std::string& error) {
    ensure_winsock();
    Socket s(handle_of(::socket(AF_INET, type, type == SOCK_DGRAM ? IPPROTO_UDP : IPPROTO_TCP)));
    if (!s.valid()) {
        error = error_text(WSAGetLastError());
        return s;
    }
    // The port is ours alone: no other socket may bind it while we hold it
    // (without this Windows lets a socket with SO_REUSEADDR take it over).
    const BOOL one = TRUE;
    ::setsockopt(sock(s), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one),
                 sizeof one);
    sockaddr_in sa = make_addr(addr_be, port);
    if (::bind(sock(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        error = error_text(WSAGetLastError());
        s.close();
    }
    return s;
}

long datagram_length(int n, std::span<std::uint8_t> buf, const sockaddr_in& sa, Endpoint& from) {
    if (n == SOCKET_ERROR) {
        // A datagram longer than the buffer arrives cut, as on POSIX.
        if (WSAGetLastError() != WSAEMSGSIZE) return -1;
        n = static_cast<int>(buf.size());
    }
    from = {sa.sin_addr.s_addr, ntohs(sa.sin_port)};
    return n;
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
    if (handle_ >= 0) ::closesocket(static_cast<SOCKET>(handle_));
    handle_ = -1;
}

std::optional<std::uint32_t> parse_ipv4(const std::string& text) {
    ensure_winsock();
    in_addr a{};
    if (::inet_pton(AF_INET, text.c_str(), &a) != 1) return std::nullopt;
    return a.s_addr;
}

std::string dotted(std::uint32_t addr_be) {
    ensure_winsock();
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
        // A port-unreachable answer to an earlier datagram must not fail the
        // next receive with WSAECONNRESET.
        BOOL report = FALSE;
        DWORD ignored = 0;
        ::WSAIoctl(sock(s), SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &ignored,
                   nullptr, nullptr);
        // Room for a burst of requests from several clients at once.
        const int size = 1 << 20;
        ::setsockopt(sock(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size),
                     sizeof size);
    }
    return s;
}

Socket tcp_listen(std::uint32_t addr_be, std::uint16_t port, std::string& error) {
    Socket s = bound(SOCK_STREAM, addr_be, port, error);
    if (s.valid() && ::listen(sock(s), 8) != 0) {
        error = error_text(WSAGetLastError());
        s.close();
    }
    if (s.valid()) set_blocking(sock(s), false);
    return s;
}

Socket tcp_accept(const Socket& listener, Endpoint& peer) {
    sockaddr_in sa{};
    int len = sizeof sa;
    Socket s(handle_of(::accept(sock(listener), reinterpret_cast<sockaddr*>(&sa), &len)));
    if (s.valid()) {
        // Accepted sockets inherit the listener's non-blocking mode; set it
        // anyway, as the loop must never wait on a client.
        set_blocking(sock(s), false);
        peer = {sa.sin_addr.s_addr, ntohs(sa.sin_port)};
    }
    return s;
}

Socket tcp_connect(const Endpoint& to) {
    ensure_winsock();
    Socket s(handle_of(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)));
    if (!s.valid()) return s;
    sockaddr_in sa = make_addr(to.addr_be, to.port);
    if (::connect(sock(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) s.close();
    return s;
}

std::uint16_t local_port(const Socket& s) {
    sockaddr_in sa{};
    int len = sizeof sa;
    if (::getsockname(sock(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
    return ntohs(sa.sin_port);
}

long recv_from_blocking(const Socket& s, std::span<std::uint8_t> buf, Endpoint& from) {
    sockaddr_in sa{};
    int len = sizeof sa;
    const int n =
        ::recvfrom(sock(s), reinterpret_cast<char*>(buf.data()), static_cast<int>(buf.size()), 0,
                   reinterpret_cast<sockaddr*>(&sa), &len);
    return datagram_length(n, buf, sa, from);
}

long recv_from(const Socket& s, std::span<std::uint8_t> buf, Endpoint& from) {
    // Winsock has no per-call "don't wait": look first, then read what is there.
    if (!readable_now(sock(s))) return -1;
    return recv_from_blocking(s, buf, from);
}

bool send_to(const Socket& s, std::span<const std::uint8_t> bytes, const Endpoint& to) {
    sockaddr_in sa = make_addr(to.addr_be, to.port);
    return ::sendto(sock(s), reinterpret_cast<const char*>(bytes.data()),
                    static_cast<int>(bytes.size()), 0, reinterpret_cast<sockaddr*>(&sa),
                    sizeof sa) == static_cast<int>(bytes.size());
}

long recv_some(const Socket& s, std::span<std::uint8_t> buf, bool& closed) {
    closed = false;
    if (!readable_now(sock(s))) return -1;
    const int n =
        ::recv(sock(s), reinterpret_cast<char*>(buf.data()), static_cast<int>(buf.size()), 0);
    if (n == 0) closed = true;
    if (n == SOCKET_ERROR) {
        const int e = WSAGetLastError();
        if (e != WSAEWOULDBLOCK && e != WSAEINTR) closed = true;
        return -1;
    }
    return n;
}

long recv_blocking(const Socket& s, std::span<std::uint8_t> buf) {
    const int n =
        ::recv(sock(s), reinterpret_cast<char*>(buf.data()), static_cast<int>(buf.size()), 0);
    return n == SOCKET_ERROR ? -1 : n;  // WSAETIMEDOUT when the time-out passed
}

bool send_all(const Socket& s, std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const int n = ::send(sock(s), reinterpret_cast<const char*>(bytes.data() + done),
                             static_cast<int>(bytes.size() - done), 0);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

long send_some(const Socket& s, std::span<const std::uint8_t> bytes) {
    const int n = ::send(sock(s), reinterpret_cast<const char*>(bytes.data()),
                         static_cast<int>(bytes.size()), 0);
    if (n != SOCKET_ERROR) return n;
    const int e = WSAGetLastError();
    return e == WSAEWOULDBLOCK || e == WSAEINTR ? 0 : -1;
}

std::vector<Readiness> wait_ready(std::span<const Interest> interests, int timeout_ms) {
    std::vector<Readiness> ready(interests.size());
    std::vector<WSAPOLLFD> fds;
    fds.reserve(interests.size());
    for (const Interest& i : interests) {
        // A closed socket takes no part, as poll() skips a negative descriptor.
        if (!i.socket->valid()) continue;
        const SHORT events =
            static_cast<SHORT>((i.read ? POLLRDNORM : 0) | (i.write ? POLLWRNORM : 0));
        fds.push_back({sock(*i.socket), events, 0});
    }
    if (fds.empty()) {
        // WSAPoll refuses an empty set; poll() would just wait.
        if (timeout_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
        return ready;
    }
    const int n = ::WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeout_ms);
    if (n <= 0) return ready;
    std::size_t k = 0;
    for (std::size_t i = 0; i < interests.size(); ++i) {
        if (!interests[i].socket->valid()) continue;
        const SHORT got = fds[k++].revents;
        ready[i].readable = (got & (POLLRDNORM | POLLHUP | POLLERR)) != 0;
        ready[i].writable = (got & POLLWRNORM) != 0;
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
    const DWORD ms = static_cast<DWORD>(timeout_ms);
    ::setsockopt(sock(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
}

}  // namespace ecrsim::net

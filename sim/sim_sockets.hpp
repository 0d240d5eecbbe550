// The simulator's few socket services: UDP and TCP on an IPv4 address, a
// readiness wait, and nothing else. sim_sockets_posix.cpp implements them
// with BSD sockets, sim_sockets_win32.cpp with Winsock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace ecrsim::net {

// An IPv4 address in network byte order and a port in host order.
struct Endpoint {
    std::uint32_t addr_be = 0;
    std::uint16_t port = 0;
    bool operator==(const Endpoint&) const = default;
    bool operator<(const Endpoint& o) const {
        return addr_be != o.addr_be ? addr_be < o.addr_be : port < o.port;
    }
};

std::optional<std::uint32_t> parse_ipv4(const std::string& dotted);
std::string dotted(std::uint32_t addr_be);
std::string to_string(const Endpoint& e);

// One open socket; closed when the object goes.
class Socket {
public:
    Socket() = default;
    explicit Socket(long long handle) : handle_(handle) {}
    ~Socket();
    Socket(Socket&& o) noexcept : handle_(o.handle_) { o.handle_ = -1; }
    Socket& operator=(Socket&& o) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    bool valid() const { return handle_ >= 0; }
    long long handle() const { return handle_; }
    void close();

private:
    long long handle_ = -1;
};

// Sockets bound to addr:port (port 0: the system picks one). On failure the
// socket is invalid and error holds the system's reason.
Socket udp_bind(std::uint32_t addr_be, std::uint16_t port, std::string& error);
Socket tcp_listen(std::uint32_t addr_be, std::uint16_t port, std::string& error);
// A waiting connection, or an invalid socket when none is ready. The
// connection does not block: reads and writes take what is there.
Socket tcp_accept(const Socket& listener, Endpoint& peer);
Socket tcp_connect(const Endpoint& to);
std::uint16_t local_port(const Socket& s);

// One datagram: its length, or -1 when none is ready or reading failed.
long recv_from(const Socket& s, std::span<std::uint8_t> buf, Endpoint& from);
bool send_to(const Socket& s, std::span<const std::uint8_t> bytes, const Endpoint& to);

// Stream reads: bytes read, 0 when the peer closed, -1 when nothing is
// ready (or on error, with closed set when the connection is gone).
long recv_some(const Socket& s, std::span<std::uint8_t> buf, bool& closed);
// Blocks until every byte is sent: for the tests' own clients only.
bool send_all(const Socket& s, std::span<const std::uint8_t> bytes);
// A stream write that never waits: the bytes the socket took (0 when it
// has no room now), or -1 when the connection is gone.
long send_some(const Socket& s, std::span<const std::uint8_t> bytes);

// What a wait watches on one socket, and what it found.
struct Interest {
    const Socket* socket = nullptr;
    bool read = true;
    bool write = false;
};
struct Readiness {
    bool readable = false;  // also set on hang-up and error
    bool writable = false;
};
// Waits up to timeout_ms for any of the interests; one result per interest.
std::vector<Readiness> wait_ready(std::span<const Interest> interests, int timeout_ms);
// Waits up to timeout_ms for any of the sockets to be readable; the result
// holds one flag per socket, in order.
std::vector<bool> wait_readable(std::span<const Socket* const> sockets, int timeout_ms);

// A datagram socket's receive time-out, for the tests' own clients.
void set_recv_timeout(const Socket& s, int timeout_ms);
// A blocking receive with the socket's time-out: -1 when it passed.
long recv_from_blocking(const Socket& s, std::span<std::uint8_t> buf, Endpoint& from);
long recv_blocking(const Socket& s, std::span<std::uint8_t> buf);

}  // namespace ecrsim::net

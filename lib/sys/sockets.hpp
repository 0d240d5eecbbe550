// The socket library: start and stop, and name resolution. Error numbers
// are the platform's own; the callers map them to result codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace veltra::sys {

// Starts the socket library: 0, or the platform's positive error code.
int sockets_start();
void sockets_stop();

// Resolves a host name to its first IPv4 address (network byte order).
// Returns 0, or the name service's own error code.
int resolve_name(const char* name, std::uint32_t& addr_be);

// True when a resolve_name error means the name service failed beyond
// recovery (as opposed to a name that does not exist).
bool name_error_is_nonrecoverable(int error);

// The address in dotted form.
std::string dotted(std::uint32_t addr_be);

// The last socket error of the calling thread.
int last_socket_error();

// What waiting for a datagram came to.
enum class RecvStatus { kData, kTimedOut, kFailed };

// One datagram received: its length and sender.
struct Datagram {
    std::size_t length = 0;
    std::uint32_t from_addr = 0;  // network byte order
    std::uint16_t from_port = 0;  // host byte order
};

// An IPv4 datagram socket, closed when the object goes. It is bound to an
// ephemeral port by its first send, or explicitly with bind().
class UdpSocket {
public:
    UdpSocket();
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    bool valid() const { return handle_ != kInvalid; }
    // The error of the failed open, for the trace.
    int open_error() const { return open_error_; }

    // Binds to addr:port (port 0: any free port); false on failure.
    bool bind(std::uint32_t addr_be, std::uint16_t port);
    // The local port, 0 if unknown.
    std::uint16_t local_port() const;

    // Sends one datagram to addr:port; false on failure (last_socket_error()).
    bool send_to(std::uint32_t addr_be, std::uint16_t port, std::span<const std::uint8_t> data);

    // Sets the socket's receive time-out; false on failure (error holds the
    // socket error). A receive for exactly this time-out then costs one system
    // call; any other wait, and every wait after a failed setting, is bounded
    // by polling first.
    bool set_recv_timeout(std::uint32_t timeout_ms, int& error);

    // Waits at most timeout_ms for one datagram and reads it into buf (a
    // longer datagram is cut to the buffer). On kFailed, error holds the
    // socket error.
    RecvStatus recv_from(std::span<std::uint8_t> buf, std::uint32_t timeout_ms, Datagram& got,
                         int& error);

private:
    static constexpr std::intptr_t kInvalid = -1;
    std::intptr_t handle_ = kInvalid;
    int open_error_ = 0;
    std::uint32_t recv_timeout_ms_ = 0;  // the receive time-out now set, 0: none yet
};

}  // namespace veltra::sys

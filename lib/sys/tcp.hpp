// TCP stream sockets of the raw channel, named by the integer id the caller
// holds from connect to disconnect. Errors are the platform's own numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

namespace veltra::sys {

// What one send or receive came to.
enum class TcpStatus { kDone, kClosed, kTimedOut, kFailed };

struct TcpIo {
    TcpStatus status = TcpStatus::kFailed;
    std::size_t bytes = 0;  // moved by this call
    int error = 0;          // the socket error of kTimedOut and kFailed
};

// A new IPv4 stream socket: its id (0 or more), or -1 with error set. An
// id that would not fit the caller's 32-bit number is refused the same way.
std::int32_t tcp_open(int& error);

// Connects to addr:port within wait_ms (0: as long as the system tries): 0,
// or the socket error (ETIMEDOUT, WSAETIMEDOUT when the wait ran out). The
// socket is left blocking either way.
int tcp_connect(std::int32_t id, std::uint32_t addr_be, std::uint16_t port, std::uint32_t wait_ms);

// Closing does not wait for unsent data (no lingering): 0 or the error.
int tcp_no_linger(std::int32_t id);

// Receive and send time-outs in milliseconds; 0 waits without limit.
int tcp_set_timeouts(std::int32_t id, std::uint32_t recv_ms, std::uint32_t send_ms);

// Sends all of data, as many calls as it takes; a broken connection is
// kFailed and never raises a signal. bytes tells how much went out.
TcpIo tcp_send(std::int32_t id, std::span<const std::uint8_t> data);

// One receive of at most buf.size() bytes: kDone with bytes > 0, kClosed
// when the peer ended the connection, kTimedOut after the receive time-out.
TcpIo tcp_recv(std::int32_t id, std::span<std::uint8_t> buf);

// Bytes ready to be read, or -1 with error set.
int tcp_pending(std::int32_t id, int& error);

// The peer's IPv4 address; false when the socket has none.
bool tcp_peer_address(std::int32_t id, std::uint32_t& addr_be);

// Ends the connection both ways; the id stays allocated until tcp_close.
void tcp_shutdown(std::int32_t id);

// Closes the id if it names an IPv4 stream socket (so a stale or foreign
// id never closes a file of the host program); false when it did not.
bool tcp_close(std::int32_t id);

// The error number of a receive time-out (EAGAIN, WSAETIMEDOUT).
int tcp_timeout_error();

// One stream socket owned from connect to close: the id is closed when the
// object goes, on every path, and a moved-from stream holds none.
class TcpStream {
public:
    TcpStream() = default;
    ~TcpStream() { reset(); }
    TcpStream(TcpStream&& other) noexcept : id_(std::exchange(other.id_, -1)) {}
    TcpStream& operator=(TcpStream&& other) noexcept {
        if (this != &other) {
            reset();
            id_ = std::exchange(other.id_, -1);
        }
        return *this;
    }
    TcpStream(const TcpStream&) = delete;
    TcpStream& operator=(const TcpStream&) = delete;

    // Opens a socket and connects it to addr:port within wait_ms (0: as long
    // as the system tries), closing the one held before: 0, or the socket
    // error, and then the stream holds none.
    int connect(std::uint32_t addr_be, std::uint16_t port, std::uint32_t wait_ms) {
        reset();
        int error = 0;
        const std::int32_t id = tcp_open(error);
        if (id < 0) return error;
        error = tcp_connect(id, addr_be, port, wait_ms);
        if (error != 0) {
            tcp_close(id);
            return error;
        }
        id_ = id;
        return 0;
    }
    bool valid() const { return id_ >= 0; }
    std::int32_t id() const { return id_; }

    int set_timeouts(std::uint32_t recv_ms, std::uint32_t send_ms) {
        return tcp_set_timeouts(id_, recv_ms, send_ms);
    }
    TcpIo send(std::span<const std::uint8_t> data) { return tcp_send(id_, data); }
    TcpIo recv(std::span<std::uint8_t> buf) { return tcp_recv(id_, buf); }

    void reset() {
        if (id_ >= 0) tcp_close(std::exchange(id_, -1));
    }

private:
    std::int32_t id_ = -1;
};

}  // namespace veltra::sys

// The network raw channel: one TCP connection to the register's line port,
// text paced by its answer bytes, and receives watched by a connection check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "line/paced_line.hpp"

namespace veltra {

// 1 when the last successful connect found a first-generation register:
// its digit answers count then. 0 when the library is loaded.
extern std::int32_t ecr_v10_ntw;

// A connect's wait for sending a piece when the register stops reading.
inline constexpr std::uint32_t kLineSendWaitMs = 60000;
// The receive time-out of one wait of a receive; every tenth empty wait
// checks that the register still holds the connection.
inline constexpr std::uint32_t kLineRecvWaitMs = 1000;
inline constexpr std::int32_t kLineCheckEvery = 10;

// The longest wait for the register to take the connection: a full accept
// queue or dropped SYNs give ERR_CONNECT_FAILED after it.
inline constexpr std::uint32_t kLineConnectWaitMs = 10000;
// Dropping pending input stops after this long or this many bytes, whichever
// comes first, so a register that floods the line cannot hold the caller;
// the send or receive then goes on as if the input had been dropped.
inline constexpr std::uint32_t kLineDrainMaxMs = 2000;
inline constexpr std::size_t kLineDrainMaxBytes = 1024 * 1024;
inline constexpr std::size_t kLineDrainRead = 64 * 1024;

// A connected socket to the line port of addr_be within wait_ms: its id, -1
// when no socket could be made, or ERR_CONNECT_FAILED.
std::int32_t ecr_tcp_connect(std::uint32_t addr_be, std::uint32_t wait_ms);
// Bytes ready to be read, or -1 (traced) when the socket cannot say.
int ecr_tcp_pending(std::int32_t sock);
// Drops the pending input, within kLineDrainMaxMs and kLineDrainMaxBytes.
void ecr_tcp_drain(std::int32_t sock);

// The ids this library's connect opened and its disconnect has not yet
// closed: the only ones the channel calls touch.
bool ntw_is_open(std::int32_t sock);
// Closes sock if it is one of them: true when it was.
bool ntw_close(std::int32_t sock);

// The link of a send on one socket; tests replace the pause.
class NetPieceLink : public PieceLink {
public:
    explicit NetPieceLink(std::int32_t sock) : sock_(sock) {}
    std::int32_t send_piece(std::span<const std::uint8_t> piece) override;
    std::int32_t read_answer(std::uint8_t& byte, std::uint32_t wait_ms) override;
    void pause_ms(std::uint32_t ms) override;

private:
    std::int32_t sock_;
};

std::int32_t ntw_connect(const char* hostname, std::uint32_t wait_ms = kLineConnectWaitMs);
std::int32_t ntw_send(std::int32_t sock, std::string_view text, PieceLink& link);
Received ntw_receive(std::int32_t sock, std::uint8_t* buf, std::int32_t buflen,
                     std::int32_t numsec);

}  // namespace veltra

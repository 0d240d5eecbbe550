// The serial raw channel: a register on COM1 to COM255, text written whole
// or byte by byte against its echo, receives counted in empty reads.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "line/paced_line.hpp"

namespace veltra {

// 1 when the last ecr_conn_xonxoff_ser asked for echo mode. 0 at load.
extern std::int32_t ecr_ser_echo;

inline constexpr std::int32_t kSerialBaudIndexMax = 5;
inline constexpr std::size_t kSerialListMax = 10;
// One read waits at most this long for its first byte; in echo mode it is
// also the longest wait for the echo of one byte, stray bytes or not.
inline constexpr std::uint32_t kSerialReadMs = 3000;
// A write is given up after the time its bytes take at the line speed plus
// this margin; the wait for sent output is bounded the same way.
inline constexpr std::uint32_t kSerialWriteMarginMs = 5000;

// The line speed of a baud index 0 to 5, 0 for any other.
std::uint32_t serial_baud(std::int32_t index);

// The numbers of the ports present, in ascending order, at most `max`.
std::size_t ecr_ser_list_ports(std::span<int> ports);
// The list as the port text: "1,3,4", empty for none.
std::string serial_port_text(std::span<const int> ports);

// Opens and sets up the port: 0 or ECR_ERR_PORT_NOT_VALID (the port closed).
std::int32_t ecr_ser_open(int port, std::uint32_t baud);
// Waits until the written output has gone, at most for its line time.
void ecr_ser_wait_sent(int port);
std::int32_t ecr_ser_write(int port, std::span<const std::uint8_t> data);
std::int32_t ecr_ser_read(int port, std::span<std::uint8_t> buf, std::size_t& count,
                          std::uint32_t wait_ms = kSerialReadMs);
std::int32_t ecr_ser_send(int port, std::string_view text);

std::int32_t ser_connect(int port, std::int32_t baud, std::int32_t echo);
Received ser_receive(int port, std::uint8_t* buf, std::int32_t buflen, std::int32_t numsec);

}  // namespace veltra

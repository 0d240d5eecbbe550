// Serial ports COM1 to COM255, driven through the platform's own serial
// interface (termios on POSIX, the communications functions on Windows).
// The layer keeps the open device of each port number, so callers name a
// port by its number alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace veltra::sys {

inline constexpr int kSerialPortMax = 255;

// A write that could not finish within its time limit (nothing else is
// reported with this value).
inline constexpr int kSerialWriteTimedOut = -12;

// The device of port n: the value of ECR_COM<n> when set, else
// /dev/ttyS<n-1> on POSIX and "\\.\COMn" on Windows.
std::string serial_device(int port);

// The presence rule of the port list: the device opens, or exists but is
// in use or not accessible (POSIX: EACCES, EPERM, EBUSY or locked by
// another open; Windows: errors 5, 32, 121, 31).
bool serial_present(int port);

// Opens the port for exclusive use (a port already open here is closed and
// opened again): 0, or the system's error number.
int serial_open(int port);

// 8 data bits, no parity, 1 stop bit, no flow control, raw (no echo, no
// line-end translation) at the given speed: 0 or the error.
int serial_set_line(int port, std::uint32_t baud);

// The settings made once after the line: pending bytes both ways are
// dropped and the modem lines raised where the device has them: 0 or the error.
int serial_prepare(int port);

// Writes all of data within timeout_ms: the number written (data.size()),
// kSerialWriteTimedOut, or another negative value when the port failed.
int serial_write(int port, std::span<const std::uint8_t> data, std::uint32_t timeout_ms);

// Reads at most buf.size() bytes, waiting at most timeout_ms for the
// first: the number read (more than 0), 0 when nothing came, or a negative
// value when the port failed.
int serial_read(int port, std::span<std::uint8_t> buf, std::uint32_t timeout_ms);

// Drops received bytes not yet read, or written bytes not yet sent: 0 or
// the error.
int serial_discard_input(int port);
int serial_discard_output(int port);

// Written bytes still waiting to go out (0 when none), or a negative value
// when the port cannot say.
int serial_pending_output(int port);

// Closes the port; a port not open is left alone.
void serial_close(int port);

}  // namespace veltra::sys

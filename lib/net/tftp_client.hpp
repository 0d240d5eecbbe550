// The TFTP client every register file travels through: octet mode, 512-byte
// blocks, lock-step, one transfer per call on a fresh socket.
#pragma once

#include <cstdint>
#include <span>

#include "sys/sockets.hpp"

namespace veltra {

// Most full blocks one transfer can carry: block numbers are 16 bits and
// never wrap, so a file must stay below 65535 × 512 bytes (a file of exactly
// that size would need an empty closing block 65536).
inline constexpr std::uint32_t kTftpMaxBlocks = 65535;
inline constexpr std::int64_t kTftpMaxFileSize = std::int64_t{kTftpMaxBlocks} * 512 - 1;

// Start-overs after refusals the client retries (ERROR codes other than 1 on
// a get, other than 2 and 3 on a put) before it gives up with
// ERR_TRANSFER_FAILED.
inline constexpr int kTftpMaxStartOvers = 5;

// What a transfer needs of its socket. The platform's UDP socket serves the
// exported calls; tests stand in for it to make a step fail.
class TftpSocket {
public:
    virtual ~TftpSocket() = default;
    virtual bool set_recv_timeout(std::uint32_t timeout_ms, int& error) = 0;
    virtual bool send_to(std::uint32_t addr_be, std::uint16_t port,
                         std::span<const std::uint8_t> data) = 0;
    virtual sys::RecvStatus recv_from(std::span<std::uint8_t> buf, std::uint32_t timeout_ms,
                                      sys::Datagram& got, int& error) = 0;
};

// Fetches the register's file of the same base name into pathname.
// Returns 0, ERR_SOCKET_OPEN, ERR_TIMEOUT (no answer at all),
// ERR_TRANSFER_FAILED (broken off or refused), ERR_FILE_CREATION (the local
// file cannot be created or written) or ERR_INVALID_FILESIZE (the register's
// file is too large to transfer). After any failure but ERR_SOCKET_OPEN the
// local file is deleted.
std::int32_t ecr_tftp_get(std::uint32_t addr_be, const char* pathname);
std::int32_t ecr_tftp_get(TftpSocket& sock, std::uint32_t addr_be, const char* pathname);

// The same, telling a missing file from a failed transfer, which share
// ERR_TRANSFER_FAILED: missing is set only when the register refused with
// ERROR 1 ("file not found") before any DATA of the file came, in any pass.
// An ERROR 1 after DATA, even after a start-over, is a failed transfer.
std::int32_t ecr_tftp_get(std::uint32_t addr_be, const char* pathname, bool& missing);
std::int32_t ecr_tftp_get(TftpSocket& sock, std::uint32_t addr_be, const char* pathname,
                          bool& missing);

// Sends the local file to the register under its base name.
// Returns 0 once the register has acknowledged the last block (for a file of
// whole blocks, the empty closing one), ERR_SOCKET_OPEN, ERR_TIMEOUT, ERR_TRANSFER_FAILED,
// ERR_FILE_NOT_FOUND (missing or unreadable) or ERR_INVALID_FILESIZE (too
// large to transfer, refused before anything is sent).
std::int32_t ecr_tftp_put(std::uint32_t addr_be, const char* pathname);
std::int32_t ecr_tftp_put(TftpSocket& sock, std::uint32_t addr_be, const char* pathname);

// No deadline: the transfer's own time-outs alone bound it.
inline constexpr std::uint64_t kNoDeadline = UINT64_MAX;

// The same transfers under a deadline for the whole exchange, a point of
// sys::monotonic_ms(): no wait runs past it, and silence at it ends the
// transfer as the last lost answer would (ERR_TIMEOUT before the register
// answered, ERR_TRANSFER_FAILED after). Discovery asks many addresses and
// cannot give each silent one the 9 s of a request's three attempts.
std::int32_t ecr_tftp_get_until(std::uint32_t addr_be, const char* pathname,
                                std::uint64_t deadline_ms, bool& missing);
std::int32_t ecr_tftp_get_until(TftpSocket& sock, std::uint32_t addr_be, const char* pathname,
                                std::uint64_t deadline_ms, bool& missing);
std::int32_t ecr_tftp_put_until(std::uint32_t addr_be, const char* pathname,
                                std::uint64_t deadline_ms);
std::int32_t ecr_tftp_put_until(TftpSocket& sock, std::uint32_t addr_be, const char* pathname,
                                std::uint64_t deadline_ms);

}  // namespace veltra

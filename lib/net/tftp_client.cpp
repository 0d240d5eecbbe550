// The TFTP client. Its timing and restart rules are the register's: 3 s for
// the first answer and three requests, then 5 s per packet and four lost
// answers in all (progress does not renew them); the last ACK goes out twice.
// A put ends only when the register has acknowledged its last block, the
// empty closing one included. A wait ends at its deadline: datagrams the
// client ignores do not extend it.
//
// Datagrams from the register's address and its request port are always
// taken: the register answers from the port it listens on, and once it has,
// the transfer stays there. A standard server that moves the transfer to a
// new port is followed to the port of its first answer. Datagrams from
// anyone else are ignored, so a stray datagram can neither end a transfer
// nor write into a register file.
#include "net/tftp_client.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "frame/file_handle.hpp"
#include "frame/paths.hpp"
#include "frame/trace.hpp"
#include "net/endpoints.hpp"
#include "net/transfer_observer.hpp"
#include "sys/clock.hpp"
#include "sys/env.hpp"
#include "sys/files.hpp"
#include "sys/sockets.hpp"
#include "veltra.h"

namespace veltra {
namespace {

constexpr std::uint32_t kRequestTimeoutMs = 3000;
constexpr std::uint32_t kTransferTimeoutMs = 5000;
constexpr int kRequestAttempts = 3;
constexpr int kTransferAttempts = 4;
constexpr std::size_t kRecvBufferSize = 1024;
constexpr std::size_t kHeader = 4;

File open_file(const char* path, const char* mode) {
    File f(std::fopen(path, mode));
    if (f) std::setvbuf(f.get(), nullptr, _IOFBF, 1 << 16);
    return f;
}

std::uint16_t get16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

void put16(std::vector<std::uint8_t>& packet, std::size_t at, std::uint16_t v) {
    packet[at] = static_cast<std::uint8_t>(v >> 8);
    packet[at + 1] = static_cast<std::uint8_t>(v);
}

// opcode, file name, 0, "octet", 0
std::vector<std::uint8_t> build_request(std::uint16_t opcode, std::string_view name) {
    constexpr std::string_view mode = "octet";
    std::vector<std::uint8_t> packet(2 + name.size() + 1 + mode.size() + 1, 0);
    put16(packet, 0, opcode);
    std::copy(name.begin(), name.end(), packet.begin() + 2);
    std::copy(mode.begin(), mode.end(),
              packet.begin() + 2 + static_cast<std::ptrdiff_t>(name.size()) + 1);
    return packet;
}

std::vector<std::uint8_t> build_ack(std::uint16_t block) {
    std::vector<std::uint8_t> packet(kHeader);
    put16(packet, 0, kTftpAck);
    put16(packet, 2, block);
    return packet;
}

// ECR_RETRY: the block whose packet the client holds back once, as if lost.
std::uint32_t retry_hook() {
    const auto value = sys::env_get("ECR_RETRY");
    if (!value) return 0;
    const long n = std::strtol(value->c_str(), nullptr, 10);
    return n > 0 && n <= 0xFFFF ? static_cast<std::uint32_t>(n) : 0;
}

bool proto_on() {
    return sys::env_present("ECR_PROTO");
}

void udp_send(TftpSocket& sock, std::uint32_t addr, std::uint16_t port,
              std::span<const std::uint8_t> packet) {
    if (!sock.send_to(addr, port, packet)) {
        // The transfer goes on as if the datagram had been lost.
        ecr_trace("%s sendto fallita: ip_address='%s' esito='%d'\n", ecr_trace_time(),
                  sys::dotted(addr).c_str(), sys::last_socket_error());
    }
}

// A failed setting is traced; the wait is then bounded by the socket layer.
void set_rcv_timeout(TftpSocket& sock, std::uint32_t timeout_ms) {
    int error = 0;
    if (!sock.set_recv_timeout(timeout_ms, error)) {
        ecr_trace("%s setsockopt fallita: esito='%d'\n", ecr_trace_time(), error);
    }
}

// The server of one transfer: the register's address, its request port, and
// the port the transfer runs on once an answer came.
struct Peer {
    std::uint32_t addr;
    std::uint16_t request_port;
    // The port the transfer is fixed on; 0 (never a sender's port) until
    // the first datagram that belongs to it.
    std::uint16_t port = 0;

    std::uint16_t send_port() const { return port != 0 ? port : request_port; }

    // Whether a datagram from this port of the register's address belongs to
    // the transfer. Sets moved when it brings the transfer back to the
    // request port from another one.
    bool takes(std::uint16_t from_port, bool& moved) {
        moved = false;
        if (from_port == request_port) {
            moved = port != 0 && port != request_port;
            port = request_port;
            return true;
        }
        if (port == 0) {
            port = from_port;
            return true;
        }
        return port == from_port && port != request_port;
    }
};

// The deadline of one wait: set when a packet goes out that asks for an
// answer, and kept while ignored datagrams come and go.
class Wait {
public:
    void restart(std::uint32_t timeout_ms) {
        timeout_ms_ = timeout_ms;
        deadline_ = sys::monotonic_ms() + timeout_ms;
        fresh_ = true;
    }
    // The time left; a wait just started gets its whole time-out, which is
    // the one the socket holds.
    std::uint32_t left() {
        if (fresh_) {
            fresh_ = false;
            return timeout_ms_;
        }
        const std::uint64_t now = sys::monotonic_ms();
        return now >= deadline_ ? 0 : static_cast<std::uint32_t>(deadline_ - now);
    }

private:
    std::uint32_t timeout_ms_ = 0;
    std::uint64_t deadline_ = 0;
    bool fresh_ = false;
};

// One packet of the transfer, or nothing by the deadline. A receive error
// counts as a lost datagram.
struct Packet {
    std::uint16_t opcode = 0;
    std::span<const std::uint8_t> bytes;
    bool moved = false;  // it brought the transfer back to the request port
};

std::optional<Packet> receive(TftpSocket& sock, Peer& peer, Wait& wait,
                              std::array<std::uint8_t, kRecvBufferSize>& buf) {
    for (;;) {
        sys::Datagram got;
        int error = 0;
        switch (sock.recv_from(buf, wait.left(), got, error)) {
            case sys::RecvStatus::kTimedOut:
                return std::nullopt;
            case sys::RecvStatus::kFailed:
                ecr_trace("%s recvfrom fallita: esito='%d'\n", ecr_trace_time(), error);
                return std::nullopt;
            case sys::RecvStatus::kData:
                break;
        }
        Packet packet;
        if (got.from_addr != peer.addr || !peer.takes(got.from_port, packet.moved)) continue;
        packet.bytes = std::span<const std::uint8_t>(buf.data(), got.length);
        packet.opcode = got.length >= 2 ? get16(buf.data()) : 0;
        return packet;
    }
}

// The platform's socket behind the exported calls.
class PlatformSocket final : public TftpSocket {
public:
    bool valid() const { return sock_.valid(); }
    int open_error() const { return sock_.open_error(); }
    bool set_recv_timeout(std::uint32_t timeout_ms, int& error) override {
        return sock_.set_recv_timeout(timeout_ms, error);
    }
    bool send_to(std::uint32_t addr_be, std::uint16_t port,
                 std::span<const std::uint8_t> data) override {
        return sock_.send_to(addr_be, port, data);
    }
    sys::RecvStatus recv_from(std::span<std::uint8_t> buf, std::uint32_t timeout_ms,
                              sys::Datagram& got, int& error) override {
        return sock_.recv_from(buf, timeout_ms, got, error);
    }

private:
    sys::UdpSocket sock_;
};

// A fresh socket per transfer; a failed open is traced.
bool socket_opened(const PlatformSocket& sock) {
    if (sock.valid()) return true;
    ecr_trace("%s socket_udp fallita: esito='%d'\n", ecr_trace_time(), sock.open_error());
    return false;
}

// The local file of a get: deleted on every path but success.
class GetFile {
public:
    explicit GetFile(const char* path) : path_(path) {}
    ~GetFile() {
        if (!keep_) discard();
    }
    bool create() {
        file_ = open_file(path_, "wb");
        // A path that cannot be created is not ours to delete.
        keep_ = file_ == nullptr;
        return file_ != nullptr;
    }
    bool append(std::span<const std::uint8_t> data) {
        return data.empty() || std::fwrite(data.data(), 1, data.size(), file_.get()) == data.size();
    }
    bool finish() {
        const bool ok = std::fflush(file_.get()) == 0 && std::ferror(file_.get()) == 0;
        file_.reset();
        keep_ = ok;
        return ok;
    }
    void discard() {
        file_.reset();
        sys::remove_file(path_);
    }

private:
    const char* path_;
    File file_;
    bool keep_ = false;
};

}  // namespace

std::int32_t ecr_tftp_get(std::uint32_t addr_be, const char* pathname) {
    bool missing = false;
    return ecr_tftp_get(addr_be, pathname, missing);
}

std::int32_t ecr_tftp_get(TftpSocket& sock, std::uint32_t addr_be, const char* pathname) {
    bool missing = false;
    return ecr_tftp_get(sock, addr_be, pathname, missing);
}

std::int32_t ecr_tftp_get(std::uint32_t addr_be, const char* pathname, bool& missing) {
    missing = false;
    PlatformSocket sock;
    if (!socket_opened(sock)) return ERR_SOCKET_OPEN;
    return ecr_tftp_get(sock, addr_be, pathname, missing);
}

std::int32_t ecr_tftp_get(TftpSocket& sock, std::uint32_t addr_be, const char* pathname,
                          bool& missing) {
    missing = false;
    // Whether any DATA of the file came, in this pass or an earlier one: an
    // ERROR 1 after that is a broken transfer, not a missing file.
    bool data_seen = false;
    std::uint32_t hook = retry_hook();
    int ntent = kRequestAttempts;
    const std::vector<std::uint8_t> request =
        build_request(kTftpRrq, ecr_base_name(std::string_view(pathname)));
    Peer peer{addr_be, tftp_port()};
    std::array<std::uint8_t, kRecvBufferSize> buf{};
    int start_overs = 0;
    ecr_trace("%s tftp-get requested: pathname='%s' retry='%d'\n", ecr_trace_time(), pathname,
              static_cast<int>(hook));

    GetFile local(pathname);
    for (;;) {  // one pass per start
        if (!local.create()) return ERR_FILE_CREATION;
        std::int64_t length = 0;
        std::uint32_t block = 1;
        // Until a block is acknowledged, the ACK a time-out repeats is that of block 0.
        std::vector<std::uint8_t> last_ack = build_ack(0);
        std::uint32_t timeout = kRequestTimeoutMs;
        Wait wait;
        peer.port = 0;
        udp_send(sock, peer.addr, peer.request_port, request);
        set_rcv_timeout(sock, timeout);
        wait.restart(timeout);
        ecr_trace("%s tftp-get connect  : pathname='%s'\n", ecr_trace_time(), pathname);

        bool start_over = false;
        while (!start_over) {
            const std::optional<Packet> packet = receive(sock, peer, wait, buf);
            if (!packet) {
                ecr_trace(
                    "%s tftp-get timeout  : pathname='%s' ntent='%d' length='%d' block='%d'\n",
                    ecr_trace_time(), pathname, ntent, static_cast<int>(length),
                    static_cast<int>(block));
                if (--ntent <= 0) {
                    local.discard();
                    ecr_trace("%s tftp-get aborted  : pathname='%s' length='%d'\n",
                              ecr_trace_time(), pathname, static_cast<int>(length));
                    return length == 0 ? ERR_TIMEOUT : ERR_TRANSFER_FAILED;
                }
                if (length > 0) {
                    udp_send(sock, peer.addr, peer.send_port(), last_ack);
                    wait.restart(timeout);
                } else {
                    start_over = true;
                }
                continue;
            }

            if (packet->opcode == kTftpData && packet->bytes.size() > kHeader + kTftpBlockSize) {
                // More than a block holds: not the register's, and never written.
                ecr_trace("%s tftp-get oversized: block='%d' data_len='%d'\n", ecr_trace_time(),
                          get16(packet->bytes.data() + 2),
                          static_cast<int>(packet->bytes.size() - kHeader));
                continue;
            }

            if (packet->opcode == kTftpData && packet->bytes.size() >= kHeader) {
                const std::uint16_t number = get16(packet->bytes.data() + 2);
                const auto data = packet->bytes.subspan(kHeader);
                data_seen = true;
                if (proto_on()) {
                    ecr_trace("%s tftp-get receive  : block='%d' data_len='%d'\n", ecr_trace_time(),
                              number, static_cast<int>(data.size()));
                }
                if (number != block) {
                    // Only the expected block moves the transfer on or ends it. A
                    // repeat of an earlier block is acknowledged again; a block
                    // that cannot have been sent yet (0, or beyond the next) is not.
                    ecr_trace("%s tftp-get duplicate: block='%d'\n", ecr_trace_time(), number);
                    if (number == 0 || number > block) continue;
                    if (hook != 0 && number == hook) {
                        ecr_trace("%s tftp-get retry    : block='%d'\n", ecr_trace_time(), number);
                        hook = 0;
                    } else {
                        last_ack = build_ack(number);
                        udp_send(sock, peer.addr, peer.send_port(), last_ack);
                    }
                    continue;
                }
                if (block == 1) {
                    ecr_trace("%s tftp-get started  : pathname='%s'\n", ecr_trace_time(), pathname);
                    notify_transfer({pathname, false, 0, -1});
                    ntent = kTransferAttempts;
                    timeout = kTransferTimeoutMs;
                    set_rcv_timeout(sock, timeout);
                }
                if (!local.append(data)) {
                    local.discard();
                    ecr_trace("%s tftp-get aborted  : pathname='%s' length='%d'\n",
                              ecr_trace_time(), pathname, static_cast<int>(length));
                    return ERR_FILE_CREATION;
                }
                length += static_cast<std::int64_t>(data.size());
                ++block;
                notify_transfer({pathname, false, length, -1});
                if (block > kTftpMaxBlocks && data.size() == kTftpBlockSize) {
                    // The next block number would wrap: the file is too large.
                    local.discard();
                    ecr_trace("%s tftp-get aborted  : pathname='%s' length='%d'\n",
                              ecr_trace_time(), pathname, static_cast<int>(length));
                    return ERR_INVALID_FILESIZE;
                }
                if (hook != 0 && number == hook) {
                    ecr_trace("%s tftp-get retry    : block='%d'\n", ecr_trace_time(), number);
                    hook = 0;
                } else {
                    last_ack = build_ack(number);
                    udp_send(sock, peer.addr, peer.send_port(), last_ack);
                }
                wait.restart(timeout);
                if (data.size() >= kTftpBlockSize) continue;

                // The last block: its ACK goes out once more.
                udp_send(sock, peer.addr, peer.send_port(), last_ack);
                if (!local.finish()) {
                    local.discard();
                    return ERR_FILE_CREATION;
                }
                ecr_trace("%s tftp-get completed: pathname='%s' length='%d/%d'\n", ecr_trace_time(),
                          pathname, static_cast<int>(length), ecr_file_size(pathname));
                return 0;
            }

            if (packet->opcode == kTftpError && packet->bytes.size() >= kHeader) {
                const std::uint16_t code = get16(packet->bytes.data() + 2);
                ecr_trace("%s tftp-get refused  : pathname='%s' length='%d' errocode='%d'\n",
                          ecr_trace_time(), pathname, static_cast<int>(length), code);
                local.discard();
                if (code == kTftpErrNotFound) {
                    missing = !data_seen;
                    return ERR_TRANSFER_FAILED;
                }
                if (++start_overs > kTftpMaxStartOvers) return ERR_TRANSFER_FAILED;
                ntent = kRequestAttempts;
                start_over = true;
            }
            // Anything else is ignored: it uses no attempt and keeps the deadline.
        }
    }
}

std::int32_t ecr_tftp_put(std::uint32_t addr_be, const char* pathname) {
    PlatformSocket sock;
    if (!socket_opened(sock)) return ERR_SOCKET_OPEN;
    return ecr_tftp_put(sock, addr_be, pathname);
}

std::int32_t ecr_tftp_put(TftpSocket& sock, std::uint32_t addr_be, const char* pathname) {
    std::uint32_t hook = retry_hook();
    int ntent = kRequestAttempts;
    const std::vector<std::uint8_t> request =
        build_request(kTftpWrq, ecr_base_name(std::string_view(pathname)));
    const std::int64_t size = sys::file_size(pathname);
    Peer peer{addr_be, tftp_port()};
    std::array<std::uint8_t, kRecvBufferSize> buf{};
    int start_overs = 0;
    ecr_trace("%s tftp-put requested: pathname='%s' size='%d'\n", ecr_trace_time(), pathname,
              static_cast<int>(size > 0x7FFFFFFF ? 0x7FFFFFFF : size));
    if (size > kTftpMaxFileSize) return ERR_INVALID_FILESIZE;

    for (;;) {  // one pass per start
        File file = open_file(pathname, "rb");
        if (!file || size < 0) return ERR_FILE_NOT_FOUND;
        std::int64_t length = 0;
        std::uint32_t block = 0;
        bool closing_sent = false;
        std::vector<std::uint8_t> last_data;
        std::uint32_t timeout = kRequestTimeoutMs;
        Wait wait;
        peer.port = 0;
        udp_send(sock, peer.addr, peer.request_port, request);
        set_rcv_timeout(sock, timeout);
        wait.restart(timeout);
        ecr_trace("%s tftp-put connect  : pathname='%s' size='%d'\n", ecr_trace_time(), pathname,
                  static_cast<int>(size));

        bool start_over = false;
        while (!start_over) {
            const std::optional<Packet> packet = receive(sock, peer, wait, buf);
            if (!packet) {
                ecr_trace(
                    "%s tftp-put timeout  : pathname='%s' ntent='%d' length='%d' block='%d'\n",
                    ecr_trace_time(), pathname, ntent, static_cast<int>(length),
                    static_cast<int>(block));
                if (--ntent <= 0) {
                    ecr_trace("%s tftp-put aborted  : pathname='%s' length='%d'\n",
                              ecr_trace_time(), pathname, static_cast<int>(length));
                    return length == 0 && !closing_sent ? ERR_TIMEOUT : ERR_TRANSFER_FAILED;
                }
                if (!last_data.empty()) {
                    ecr_trace("%s tftp-put resend   : block='%d' data_len='%d'\n", ecr_trace_time(),
                              get16(last_data.data() + 2),
                              static_cast<int>(last_data.size() - kHeader));
                    udp_send(sock, peer.addr, peer.send_port(), last_data);
                    wait.restart(timeout);
                } else {
                    start_over = true;
                }
                continue;
            }

            if (packet->opcode == kTftpAck && packet->bytes.size() >= kHeader) {
                if (get16(packet->bytes.data() + 2) != block) {
                    // A repeated ACK asks for nothing, unless it brought the
                    // transfer back to the request port: what went to the
                    // other port goes again to this one.
                    if (packet->moved && !last_data.empty()) {
                        udp_send(sock, peer.addr, peer.send_port(), last_data);
                    }
                    continue;
                }
                if (block == 0) {
                    ecr_trace("%s tftp-put started  : pathname='%s' size='%d'\n", ecr_trace_time(),
                              pathname, static_cast<int>(size));
                    notify_transfer({pathname, true, 0, size});
                    ntent = kTransferAttempts;
                    timeout = kTransferTimeoutMs;
                    set_rcv_timeout(sock, timeout);
                }
                if (block != 0) notify_transfer({pathname, true, length, size});
                if (length == size) {
                    if (size % kTftpBlockSize == 0 && !closing_sent) {
                        // An empty block closes a file of whole blocks; it is
                        // acknowledged like every other.
                        file.reset();
                        closing_sent = true;
                        ++block;
                        last_data.assign(kHeader, 0);
                        put16(last_data, 0, kTftpData);
                        put16(last_data, 2, static_cast<std::uint16_t>(block));
                        if (proto_on()) {
                            ecr_trace("%s tftp-put send     : block='%d' data_len='%d'\n",
                                      ecr_trace_time(), static_cast<int>(block), 0);
                        }
                        udp_send(sock, peer.addr, peer.send_port(), last_data);
                        wait.restart(timeout);
                        continue;
                    }
                    ecr_trace("%s tftp-put completed: pathname='%s' length='%d/%d'\n",
                              ecr_trace_time(), pathname, static_cast<int>(length),
                              static_cast<int>(size));
                    return 0;
                }
                const std::size_t chunk =
                    static_cast<std::size_t>(std::min<std::int64_t>(kTftpBlockSize, size - length));
                last_data.assign(kHeader + chunk, 0);
                if (std::fread(last_data.data() + kHeader, 1, chunk, file.get()) != chunk) {
                    // The file shrank or cannot be read: never send made-up bytes.
                    ecr_trace("%s tftp-put aborted  : pathname='%s' length='%d'\n",
                              ecr_trace_time(), pathname, static_cast<int>(length));
                    return ERR_FILE_NOT_FOUND;
                }
                length += static_cast<std::int64_t>(chunk);
                ++block;
                put16(last_data, 0, kTftpData);
                put16(last_data, 2, static_cast<std::uint16_t>(block));
                if (hook != 0 && block == hook) {
                    ecr_trace("%s tftp-put retry    : block='%d'\n", ecr_trace_time(),
                              static_cast<int>(block));
                    hook = 0;
                } else {
                    if (proto_on()) {
                        ecr_trace("%s tftp-put send     : block='%d' data_len='%d'\n",
                                  ecr_trace_time(), static_cast<int>(block),
                                  static_cast<int>(chunk));
                    }
                    udp_send(sock, peer.addr, peer.send_port(), last_data);
                }
                wait.restart(timeout);
                continue;
            }

            if (packet->opcode == kTftpError && packet->bytes.size() >= kHeader) {
                const std::uint16_t code = get16(packet->bytes.data() + 2);
                ecr_trace("%s tftp-put refused  : pathname='%s' length='%d' errocode='%d'\n",
                          ecr_trace_time(), pathname, static_cast<int>(length), code);
                file.reset();
                if (code == kTftpErrAccess || code == kTftpErrDiskFull ||
                    ++start_overs > kTftpMaxStartOvers) {
                    return ERR_TRANSFER_FAILED;
                }
                ntent = kRequestAttempts;
                start_over = true;
            }
            // Anything else is ignored: it uses no attempt and keeps the deadline.
        }
    }
}

}  // namespace veltra

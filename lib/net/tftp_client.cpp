// The TFTP client. Its timing and restart rules are the register's: 3 s for
// the first answer and three requests, then 5 s per packet and four lost
// answers in all (progress does not renew them); the last ACK goes out twice.
// A put ends only when the register has acknowledged its last block, the
// empty closing one included. A wait ends at its deadline: datagrams the
// client ignores do not extend it, and no wait runs past the deadline of the
// whole exchange when the caller gave one.
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
    explicit Wait(std::uint64_t limit) : limit_(limit) {}
    void restart(std::uint32_t timeout_ms) {
        const std::uint64_t now = sys::monotonic_ms();
        timeout_ms_ = timeout_ms;
        deadline_ = now + timeout_ms;
        if (deadline_ > limit_) {
            deadline_ = limit_;
            timeout_ms_ = limit_ > now ? static_cast<std::uint32_t>(limit_ - now) : 0;
        }
        fresh_ = true;
    }
    bool out_of_time() const { return sys::monotonic_ms() >= limit_; }
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
    std::uint64_t limit_;
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

// What a packet did to the transfer.
enum class Step { kGoOn, kStartOver, kEnd };
struct Verdict {
    Step step = Step::kGoOn;
    std::int32_t result = 0;  // with kEnd
};
constexpr Verdict kGoOn{};
constexpr Verdict kStartOver{Step::kStartOver};
constexpr Verdict end_with(std::int32_t result) {
    return {Step::kEnd, result};
}

// The network side of one transfer, the same both ways: the peer, the
// attempts left, the time-out of the phase and the wait for an answer.
class Link {
public:
    Link(TftpSocket& sock, std::uint32_t addr, std::uint64_t limit)
        : sock_(sock), peer_{addr, tftp_port()}, wait_(limit) {}

    // A fresh start: the request goes to the register's own port.
    void connect(std::span<const std::uint8_t> request) {
        timeout_ = kRequestTimeoutMs;
        peer_.port = 0;
        udp_send(sock_, peer_.addr, peer_.request_port, request);
        set_rcv_timeout(sock_, timeout_);
        wait_.restart(timeout_);
    }
    // The register's first answer: the transfer's own attempts and time-out.
    void started() {
        attempts_ = kTransferAttempts;
        timeout_ = kTransferTimeoutMs;
        set_rcv_timeout(sock_, timeout_);
    }
    void send(std::span<const std::uint8_t> packet) {
        udp_send(sock_, peer_.addr, peer_.send_port(), packet);
    }
    // A packet that asks for an answer went out: a new wait begins.
    void wait_again() { wait_.restart(timeout_); }
    std::optional<Packet> next_packet() { return receive(sock_, peer_, wait_, buf_); }

    int attempts() const { return attempts_; }
    // One answer lost; whether any attempt is left, and time for it.
    bool lose_one() { return --attempts_ > 0 && !wait_.out_of_time(); }
    // After a refusal the register gets a fresh request's attempts, a
    // bounded number of times.
    bool refused() {
        if (++start_overs_ > kTftpMaxStartOvers) return false;
        attempts_ = kRequestAttempts;
        return true;
    }

private:
    TftpSocket& sock_;
    Peer peer_;
    Wait wait_;
    std::array<std::uint8_t, kRecvBufferSize> buf_{};
    std::uint32_t timeout_ = kRequestTimeoutMs;
    int attempts_ = kRequestAttempts;
    int start_overs_ = 0;
};

// What differs between a get and a put: what a packet from the register
// means, what a time-out sends again, and the local file.
class Direction {
public:
    virtual ~Direction() = default;
    // "get" or "put", as the trace names the transfer.
    virtual const char* name() const = 0;
    // A new pass: the local file from its start. A result ends the call.
    virtual std::optional<std::int32_t> begin() = 0;
    virtual void trace_connect() const = 0;
    virtual std::int64_t length() const = 0;
    virtual std::uint32_t block() const = 0;
    // What a time-out sends again; empty: the transfer starts over.
    virtual std::span<const std::uint8_t> resend() = 0;
    // The last time-out: the result.
    virtual std::int32_t abandon() = 0;
    // An ERROR packet; a result ends the call, nothing may start over.
    virtual std::optional<std::int32_t> refused(std::uint16_t code) = 0;
    // Any other packet of the transfer.
    virtual Verdict take(Link& link, const Packet& packet) = 0;
};

void trace_aborted(const char* name, const char* pathname, std::int64_t length) {
    ecr_trace("%s tftp-%s aborted  : pathname='%s' length='%d'\n", ecr_trace_time(), name, pathname,
              static_cast<int>(length));
}

// One transfer loop for both directions: the request, the waits, the
// time-outs and the start-overs; the direction says what a packet means.
class Transfer {
public:
    Transfer(TftpSocket& sock, std::uint32_t addr, const char* pathname, Direction& dir,
             std::uint64_t limit)
        : link_(sock, addr, limit), pathname_(pathname), dir_(dir) {}

    std::int32_t run(std::span<const std::uint8_t> request) {
        for (;;) {  // one pass per start
            if (const auto failed = dir_.begin()) return *failed;
            link_.connect(request);
            dir_.trace_connect();
            const Verdict v = pass();
            if (v.step == Step::kEnd) return v.result;
        }
    }

private:
    Verdict pass() {
        for (;;) {
            const std::optional<Packet> packet = link_.next_packet();
            const Verdict v = !packet ? silence()
                              : packet->opcode == kTftpError && packet->bytes.size() >= kHeader
                                  ? refusal(get16(packet->bytes.data() + 2))
                                  : dir_.take(link_, *packet);
            if (v.step != Step::kGoOn) return v;
        }
    }

    Verdict silence() {
        ecr_trace("%s tftp-%s timeout  : pathname='%s' ntent='%d' length='%d' block='%d'\n",
                  ecr_trace_time(), dir_.name(), pathname_, link_.attempts(),
                  static_cast<int>(dir_.length()), static_cast<int>(dir_.block()));
        if (!link_.lose_one()) {
            const std::int32_t result = dir_.abandon();
            trace_aborted(dir_.name(), pathname_, dir_.length());
            return end_with(result);
        }
        const auto again = dir_.resend();
        if (again.empty()) return kStartOver;
        link_.send(again);
        link_.wait_again();
        return kGoOn;
    }

    Verdict refusal(std::uint16_t code) {
        ecr_trace("%s tftp-%s refused  : pathname='%s' length='%d' errocode='%d'\n",
                  ecr_trace_time(), dir_.name(), pathname_, static_cast<int>(dir_.length()), code);
        if (const auto failed = dir_.refused(code)) return end_with(*failed);
        return link_.refused() ? kStartOver : end_with(ERR_TRANSFER_FAILED);
    }

    Link link_;
    const char* pathname_;
    Direction& dir_;
};

// A get: DATA from the register, written to the local file and acknowledged.
class Get final : public Direction {
public:
    Get(const char* pathname, bool& missing, std::uint32_t hook)
        : pathname_(pathname), local_(pathname), missing_(missing), hook_(hook) {}

    const char* name() const override { return "get"; }
    std::optional<std::int32_t> begin() override {
        if (!local_.create()) return ERR_FILE_CREATION;
        length_ = 0;
        block_ = 1;
        // Until a block is acknowledged, the ACK a time-out repeats is that of block 0.
        last_ack_ = build_ack(0);
        return std::nullopt;
    }
    void trace_connect() const override {
        ecr_trace("%s tftp-get connect  : pathname='%s'\n", ecr_trace_time(), pathname_);
    }
    std::int64_t length() const override { return length_; }
    std::uint32_t block() const override { return block_; }
    std::span<const std::uint8_t> resend() override {
        if (length_ == 0) return {};
        return last_ack_;
    }
    std::int32_t abandon() override {
        local_.discard();
        return length_ == 0 ? ERR_TIMEOUT : ERR_TRANSFER_FAILED;
    }
    std::optional<std::int32_t> refused(std::uint16_t code) override {
        local_.discard();
        if (code != kTftpErrNotFound) return std::nullopt;
        missing_ = !data_seen_;
        return ERR_TRANSFER_FAILED;
    }
    Verdict take(Link& link, const Packet& packet) override {
        if (packet.opcode != kTftpData || packet.bytes.size() < kHeader) return kGoOn;
        if (packet.bytes.size() > kHeader + kTftpBlockSize) {
            // More than a block holds: not the register's, and never written.
            ecr_trace("%s tftp-get oversized: block='%d' data_len='%d'\n", ecr_trace_time(),
                      get16(packet.bytes.data() + 2),
                      static_cast<int>(packet.bytes.size() - kHeader));
            return kGoOn;
        }
        const std::uint16_t number = get16(packet.bytes.data() + 2);
        const auto data = packet.bytes.subspan(kHeader);
        data_seen_ = true;
        if (proto_on()) {
            ecr_trace("%s tftp-get receive  : block='%d' data_len='%d'\n", ecr_trace_time(), number,
                      static_cast<int>(data.size()));
        }
        if (number != block_) return repeated(link, number);
        return next_block(link, number, data);
    }

private:
    // Only the expected block moves the transfer on or ends it. A repeat of
    // an earlier block is acknowledged again; a block that cannot have been
    // sent yet (0, or beyond the next) is not.
    Verdict repeated(Link& link, std::uint16_t number) {
        ecr_trace("%s tftp-get duplicate: block='%d'\n", ecr_trace_time(), number);
        if (number == 0 || number > block_) return kGoOn;
        acknowledge(link, number);
        return kGoOn;
    }

    Verdict next_block(Link& link, std::uint16_t number, std::span<const std::uint8_t> data) {
        if (block_ == 1) {
            ecr_trace("%s tftp-get started  : pathname='%s'\n", ecr_trace_time(), pathname_);
            notify_transfer({pathname_, false, 0, -1});
            link.started();
        }
        if (!local_.append(data)) return fail(ERR_FILE_CREATION);
        length_ += static_cast<std::int64_t>(data.size());
        ++block_;
        notify_transfer({pathname_, false, length_, -1});
        if (block_ > kTftpMaxBlocks && data.size() == kTftpBlockSize) {
            // The next block number would wrap: the file is too large.
            return fail(ERR_INVALID_FILESIZE);
        }
        acknowledge(link, number);
        link.wait_again();
        if (data.size() >= kTftpBlockSize) return kGoOn;

        // The last block: its ACK goes out once more.
        link.send(last_ack_);
        if (!local_.finish()) {
            local_.discard();
            return end_with(ERR_FILE_CREATION);
        }
        ecr_trace("%s tftp-get completed: pathname='%s' length='%d/%d'\n", ecr_trace_time(),
                  pathname_, static_cast<int>(length_), ecr_file_size(pathname_));
        return end_with(0);
    }

    // The ECR_RETRY block's ACK is held back once, as if lost.
    void acknowledge(Link& link, std::uint16_t number) {
        if (hook_ != 0 && number == hook_) {
            ecr_trace("%s tftp-get retry    : block='%d'\n", ecr_trace_time(), number);
            hook_ = 0;
            return;
        }
        last_ack_ = build_ack(number);
        link.send(last_ack_);
    }

    Verdict fail(std::int32_t result) {
        local_.discard();
        trace_aborted(name(), pathname_, length_);
        return end_with(result);
    }

    const char* pathname_;
    GetFile local_;
    bool& missing_;
    std::uint32_t hook_;
    // Whether any DATA of the file came, in this pass or an earlier one: an
    // ERROR 1 after that is a broken transfer, not a missing file.
    bool data_seen_ = false;
    std::int64_t length_ = 0;
    std::uint32_t block_ = 1;
    std::vector<std::uint8_t> last_ack_;
};

// A put: the local file in DATA blocks, each sent once its predecessor is
// acknowledged.
class Put final : public Direction {
public:
    Put(const char* pathname, std::int64_t size, std::uint32_t hook)
        : pathname_(pathname), size_(size), hook_(hook) {}

    const char* name() const override { return "put"; }
    std::optional<std::int32_t> begin() override {
        file_ = open_file(pathname_, "rb");
        if (!file_ || size_ < 0) return ERR_FILE_NOT_FOUND;
        length_ = 0;
        block_ = 0;
        closing_sent_ = false;
        last_data_.clear();
        return std::nullopt;
    }
    void trace_connect() const override {
        ecr_trace("%s tftp-put connect  : pathname='%s' size='%d'\n", ecr_trace_time(), pathname_,
                  static_cast<int>(size_));
    }
    std::int64_t length() const override { return length_; }
    std::uint32_t block() const override { return block_; }
    std::span<const std::uint8_t> resend() override {
        if (last_data_.empty()) return {};
        ecr_trace("%s tftp-put resend   : block='%d' data_len='%d'\n", ecr_trace_time(),
                  get16(last_data_.data() + 2), static_cast<int>(last_data_.size() - kHeader));
        return last_data_;
    }
    std::int32_t abandon() override {
        return length_ == 0 && !closing_sent_ ? ERR_TIMEOUT : ERR_TRANSFER_FAILED;
    }
    std::optional<std::int32_t> refused(std::uint16_t code) override {
        file_.reset();
        if (code == kTftpErrAccess || code == kTftpErrDiskFull) return ERR_TRANSFER_FAILED;
        return std::nullopt;
    }
    Verdict take(Link& link, const Packet& packet) override {
        if (packet.opcode != kTftpAck || packet.bytes.size() < kHeader) return kGoOn;
        if (get16(packet.bytes.data() + 2) != block_) {
            // A repeated ACK asks for nothing, unless it brought the
            // transfer back to the request port: what went to the other
            // port goes again to this one.
            if (packet.moved && !last_data_.empty()) link.send(last_data_);
            return kGoOn;
        }
        if (block_ == 0) {
            ecr_trace("%s tftp-put started  : pathname='%s' size='%d'\n", ecr_trace_time(),
                      pathname_, static_cast<int>(size_));
            notify_transfer({pathname_, true, 0, size_});
            link.started();
        }
        if (block_ != 0) notify_transfer({pathname_, true, length_, size_});
        if (length_ < size_) return next_block(link);
        if (size_ % kTftpBlockSize == 0 && !closing_sent_) return closing_block(link);
        ecr_trace("%s tftp-put completed: pathname='%s' length='%d/%d'\n", ecr_trace_time(),
                  pathname_, static_cast<int>(length_), static_cast<int>(size_));
        return end_with(0);
    }

private:
    Verdict next_block(Link& link) {
        const std::size_t chunk =
            static_cast<std::size_t>(std::min<std::int64_t>(kTftpBlockSize, size_ - length_));
        last_data_.assign(kHeader + chunk, 0);
        if (std::fread(last_data_.data() + kHeader, 1, chunk, file_.get()) != chunk) {
            // The file shrank or cannot be read: never send made-up bytes.
            trace_aborted(name(), pathname_, length_);
            return end_with(ERR_FILE_NOT_FOUND);
        }
        length_ += static_cast<std::int64_t>(chunk);
        ++block_;
        put16(last_data_, 0, kTftpData);
        put16(last_data_, 2, static_cast<std::uint16_t>(block_));
        if (hook_ != 0 && block_ == hook_) {
            // The ECR_RETRY block is held back once, as if lost.
            ecr_trace("%s tftp-put retry    : block='%d'\n", ecr_trace_time(),
                      static_cast<int>(block_));
            hook_ = 0;
        } else {
            send(link, chunk);
        }
        link.wait_again();
        return kGoOn;
    }

    // An empty block closes a file of whole blocks; it is acknowledged like
    // every other.
    Verdict closing_block(Link& link) {
        file_.reset();
        closing_sent_ = true;
        ++block_;
        last_data_.assign(kHeader, 0);
        put16(last_data_, 0, kTftpData);
        put16(last_data_, 2, static_cast<std::uint16_t>(block_));
        send(link, 0);
        link.wait_again();
        return kGoOn;
    }

    void send(Link& link, std::size_t data_len) {
        if (proto_on()) {
            ecr_trace("%s tftp-put send     : block='%d' data_len='%d'\n", ecr_trace_time(),
                      static_cast<int>(block_), static_cast<int>(data_len));
        }
        link.send(last_data_);
    }

    const char* pathname_;
    std::int64_t size_;
    std::uint32_t hook_;
    File file_;
    std::int64_t length_ = 0;
    std::uint32_t block_ = 0;
    bool closing_sent_ = false;
    std::vector<std::uint8_t> last_data_;
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
    return ecr_tftp_get_until(addr_be, pathname, kNoDeadline, missing);
}

std::int32_t ecr_tftp_get(TftpSocket& sock, std::uint32_t addr_be, const char* pathname,
                          bool& missing) {
    return ecr_tftp_get_until(sock, addr_be, pathname, kNoDeadline, missing);
}

std::int32_t ecr_tftp_get_until(std::uint32_t addr_be, const char* pathname,
                                std::uint64_t deadline_ms, bool& missing) {
    missing = false;
    PlatformSocket sock;
    if (!socket_opened(sock)) return ERR_SOCKET_OPEN;
    return ecr_tftp_get_until(sock, addr_be, pathname, deadline_ms, missing);
}

std::int32_t ecr_tftp_get_until(TftpSocket& sock, std::uint32_t addr_be, const char* pathname,
                                std::uint64_t deadline_ms, bool& missing) {
    missing = false;
    const std::uint32_t hook = retry_hook();
    const std::vector<std::uint8_t> request =
        build_request(kTftpRrq, ecr_base_name(std::string_view(pathname)));
    ecr_trace("%s tftp-get requested: pathname='%s' retry='%d'\n", ecr_trace_time(), pathname,
              static_cast<int>(hook));
    Get get(pathname, missing, hook);
    return Transfer(sock, addr_be, pathname, get, deadline_ms).run(request);
}

std::int32_t ecr_tftp_put(std::uint32_t addr_be, const char* pathname) {
    return ecr_tftp_put_until(addr_be, pathname, kNoDeadline);
}

std::int32_t ecr_tftp_put(TftpSocket& sock, std::uint32_t addr_be, const char* pathname) {
    return ecr_tftp_put_until(sock, addr_be, pathname, kNoDeadline);
}

std::int32_t ecr_tftp_put_until(std::uint32_t addr_be, const char* pathname,
                                std::uint64_t deadline_ms) {
    PlatformSocket sock;
    if (!socket_opened(sock)) return ERR_SOCKET_OPEN;
    return ecr_tftp_put_until(sock, addr_be, pathname, deadline_ms);
}

std::int32_t ecr_tftp_put_until(TftpSocket& sock, std::uint32_t addr_be, const char* pathname,
                                std::uint64_t deadline_ms) {
    const std::uint32_t hook = retry_hook();
    const std::vector<std::uint8_t> request =
        build_request(kTftpWrq, ecr_base_name(std::string_view(pathname)));
    const std::int64_t size = sys::file_size(pathname);
    ecr_trace("%s tftp-put requested: pathname='%s' size='%d'\n", ecr_trace_time(), pathname,
              static_cast<int>(size > 0x7FFFFFFF ? 0x7FFFFFFF : size));
    if (size > kTftpMaxFileSize) return ERR_INVALID_FILESIZE;
    Put put(pathname, size, hook);
    return Transfer(sock, addr_be, pathname, put, deadline_ms).run(request);
}

}  // namespace veltra

// The register's TFTP server (RFC 1350, octet, 512-byte blocks, lock-step,
// no options), as protocol logic only: datagrams in, datagrams out. The
// Register moves them through its sockets, so faults and timing stay here.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "faults.hpp"
#include "le_bytes.hpp"
#include "sim_sockets.hpp"

namespace ecrsim {

// Which socket a datagram leaves from.
enum class Via { Main, OtherPort, OtherAddress };

struct Outgoing {
    net::Endpoint to;
    Bytes bytes;
    Via via = Via::Main;
    int delay_ms = 0;
};

// What the server asks of the register.
class TftpBackend {
public:
    virtual ~TftpBackend() = default;
    // The file's bytes, or null with an ERROR code when the register refuses
    // the read. Sessions reading the same file may share one copy.
    virtual std::shared_ptr<const Bytes> open_read(const std::string& name,
                                                   std::uint16_t& error) = 0;
    // 0 when the register takes a write of this file, else the ERROR code.
    virtual std::uint16_t may_write(const std::string& name) = 0;
    // A write completed; runs before its last ACK goes out.
    virtual void write_done(const std::string& name, const Bytes& bytes) = 0;
    // A read's last block was acknowledged.
    virtual void read_done(const std::string& name, std::size_t size,
                           const net::Endpoint& peer) = 0;
    // A request arrived ("get NAME" or "put NAME").
    virtual void request_seen(const std::string& what, const net::Endpoint& peer) = 0;
};

struct TftpTimes {
    int retransmit_ms = 1000;  // time-out before a datagram goes again
    int max_retransmits = 5;
    // After its last retransmission a transfer still takes the client's
    // datagrams for idle_ms: a client whose time-out restarts with every
    // repeated datagram resends only after the register has gone quiet.
    int idle_ms = 25000;
    // A finished write stays this long to acknowledge a repeated last block:
    // longer than a client's resend time-out (5 s for the library, three
    // tries), or a lost last ACK could never be recovered.
    int linger_ms = 15000;
    // Transfers at once; a request beyond them is answered with ERROR 3.
    std::size_t max_sessions = 64;
};

class TftpServer {
public:
    using Clock = std::chrono::steady_clock;
    TftpServer(TftpBackend& backend, const TftpTimes& times);

    void add_fault(const TftpFault& f) { faults_.push_back({f, f.transfers, f.skip}); }
    void clear_faults() { faults_.clear(); }
    void set_retransmit(int ms, int max_tries) {
        times_.retransmit_ms = ms, times_.max_retransmits = max_tries;
    }

    void on_datagram(const net::Endpoint& from, std::span<const std::uint8_t> bytes,
                     Clock::time_point now, std::vector<Outgoing>& out);
    void on_timer(Clock::time_point now, std::vector<Outgoing>& out);
    std::optional<Clock::time_point> next_deadline() const;
    std::size_t active_transfers() const { return sessions_.size(); }

    // Largest file a transfer carries: 65535 full blocks.
    static constexpr std::size_t kMaxFile = 65535u * 512u - 1u;

private:
    struct ArmedFault {
        TftpFault fault;
        int left;  // transfers still to hit; 0 when it hits every one
        int skip;  // matching transfers still to let through first
    };
    struct Session {
        bool reading = true;
        bool silent = false;
        bool done = false;   // write complete, lingering to re-acknowledge
        bool quiet = false;  // retransmissions spent, still listening
        std::string file;
        Bytes request;
        std::shared_ptr<const Bytes> source;  // the file being read
        Bytes data;                           // what was written so far
        std::uint16_t block = 0;
        Bytes last;  // the last datagram sent, for retransmission
        Clock::time_point deadline{};
        int retries = 0;
        int in_count = 0;
        int out_count = 0;
        std::vector<TftpFault> faults;
    };
    struct Delayed {
        Clock::time_point due;
        net::Endpoint from;
        Bytes bytes;
    };

    void handle(const net::Endpoint& from, std::span<const std::uint8_t> bytes,
                Clock::time_point now, std::vector<Outgoing>& out, bool counted);
    void start(const net::Endpoint& from, std::span<const std::uint8_t> bytes,
               Clock::time_point now, std::vector<Outgoing>& out, bool counted);
    void on_ack(Session& s, const net::Endpoint& peer, std::uint16_t block, Clock::time_point now,
                std::vector<Outgoing>& out);
    void on_data(Session& s, const net::Endpoint& peer, std::uint16_t block,
                 std::span<const std::uint8_t> payload, Clock::time_point now,
                 std::vector<Outgoing>& out);
    void send_block(Session& s, const net::Endpoint& peer, Clock::time_point now,
                    std::vector<Outgoing>& out);
    void send_ack(Session& s, const net::Endpoint& peer, std::uint16_t block, Clock::time_point now,
                  std::vector<Outgoing>& out);
    void emit(Session& s, const net::Endpoint& peer, Bytes bytes, std::vector<Outgoing>& out);
    // Applies the incoming faults: false when the datagram is not handled now.
    bool filter_in(Session& s, const net::Endpoint& from, std::span<const std::uint8_t> bytes,
                   Clock::time_point now, std::vector<Outgoing>& out, int& copies);
    std::vector<TftpFault> arm(const std::string& file);

    TftpBackend& backend_;
    TftpTimes times_;
    std::map<net::Endpoint, Session> sessions_;
    std::vector<ArmedFault> faults_;
    std::vector<Delayed> delayed_;
};

Bytes tftp_error(std::uint16_t code, const std::string& message);

}  // namespace ecrsim

// ecrsim's in-process interface: a simulated register on its own loopback
// address and ports, with its TFTP server, raw channel and keyboard, running
// on a thread of its own from construction to destruction (or stop()).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "faults.hpp"
#include "le_bytes.hpp"
#include "register_files.hpp"
#include "sales.hpp"

namespace ecrsim {

struct Options {
    std::string address = "127.0.0.1";
    std::filesystem::path state_dir;
    // 0: the system picks a free port; the Register reports it.
    std::uint16_t tftp_port = 0;
    std::uint16_t line_port = 0;
    std::uint16_t keyboard_port = 0;
    Layout layout;
    int busy_ms = 1500;        // how long a command keeps info entry 19 at 1
    int retransmit_ms = 1000;  // TFTP time-out before a datagram goes again
    int max_retransmits = 5;
    int idle_ms = 25000;  // then a transfer waits this long for the client
    // A finished write stays to acknowledge a repeated last block: longer
    // than any client's resend (the library's is 5 s, three tries).
    int linger_ms = 15000;
    // TFTP transfers at once; one more request is answered with ERROR 3.
    std::size_t max_transfers = 64;
    // Bytes waiting for a slow display or line client; one that stays
    // further behind is dropped, so the register never waits on a client.
    std::size_t client_backlog = 64 * 1024;
    bool seed = true;
    // Past days archived as "VEND%s.DAT" at start, for those not there yet.
    int history_days = 0;
    std::string matricola = kDefaultMatricola;  // the serial number INFO reports
    // Keep the transcript; a long-running program does not, so that what
    // it is sent does not pile up in memory.
    bool record = true;
    // Receives one line per command, transfer, key press and connection. It
    // runs on the register's thread with its lock held: it must not call
    // back into the Register.
    std::function<void(const std::string&)> log;
};

struct PutRecord {
    std::string name;
    Bytes bytes;
};

// What the register received, in order.
struct Transcript {
    std::vector<std::string> requests;               // "get NAME" / "put NAME", every request taken
    std::vector<std::string> commands;               // texts of COMMAND.TXT, as received
    std::vector<PutRecord> puts;                     // completed writes, COMMAND.TXT included
    std::vector<std::string> gets;                   // completed reads
    std::map<std::uint16_t, std::string> tcp_bytes;  // by the register's port
    std::vector<std::string> keys;                   // key codes pressed
    std::vector<std::string> lines;                  // everything logged
};

class Register {
public:
    // Binds every endpoint and starts; throws std::runtime_error when an
    // address or port cannot be had.
    explicit Register(Options options);
    ~Register();
    Register(const Register&) = delete;
    Register& operator=(const Register&) = delete;

    void stop();

    const std::string& address() const { return options_.address; }
    std::uint16_t tftp_port() const { return tftp_port_; }
    std::uint16_t line_port() const { return line_port_; }
    std::uint16_t keyboard_port() const { return keyboard_port_; }
    const std::filesystem::path& state_dir() const { return options_.state_dir; }
    // The address that Via::OtherAddress answers come from.
    std::string other_address() const;

    // State.
    std::string info_line() const;
    std::vector<std::string> info_values() const;
    void set_info_field(int index, std::optional<std::string> value);
    void set_setup_mode(bool on);
    bool setup_mode() const;
    void set_keep_busy(bool on);
    void set_busy_ms(int ms);
    bool busy() const;
    void set_state_letter(char letter);
    void set_error_state(bool on);
    // Only the error flag of the sales summary (ART_VENDUTI.BIN).
    void set_sales_error(bool on);
    // VENDCORR's day file counts no records while the summary keeps its counts.
    void set_empty_sales_file(bool on);
    void set_layout(Layout layout, bool reseed_files);
    void put_file(const std::string& name, const Bytes& bytes);
    std::optional<Bytes> file(const std::string& name) const;
    SalesBook sales() const;
    void set_sales(const SalesBook& book);
    std::string display() const;
    std::vector<std::string> releases() const;
    // TFTP transfers open now, lingering ones included.
    std::size_t tftp_sessions() const;

    // Faults.
    void add_fault(const TftpFault& fault);
    void clear_faults();
    void script_line(const std::vector<LineAnswer>& answers);
    void set_line_default(const std::string& answer);
    // Drops every open raw-channel connection at once.
    void close_line_connections();
    // Sends bytes on every open raw-channel connection, as the register's
    // own data for the host to receive.
    void send_line_data(const std::string& bytes);

    // Transcript.
    Transcript transcript() const;
    void clear_transcript();
    // Polls pred over the transcript until it holds or timeout passes.
    bool wait_for(const std::function<bool(const Transcript&)>& pred,
                  std::chrono::milliseconds timeout) const;

private:
    struct Impl;
    std::unique_lock<std::mutex> locked() const;
    Options options_;
    std::uint16_t tftp_port_ = 0;
    std::uint16_t line_port_ = 0;
    std::uint16_t keyboard_port_ = 0;
    std::unique_ptr<Impl> impl_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace ecrsim

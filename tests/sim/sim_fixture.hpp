// Shared pieces of the simulator's tests: a fresh register on free ports in
// a fresh state directory, a raw TFTP client that shows every datagram, a
// raw TCP client, and the Debian TFTP clients run as programs.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "le_bytes.hpp"
#include "sim_sockets.hpp"
#include "simulator.hpp"
#include "test_support.hpp"

namespace ecrsim::test {

using namespace std::chrono_literals;
using veltra::test::pattern_bytes;

// A datagram as the client saw it.
struct Datagram {
    net::Endpoint from;
    Bytes bytes;
    std::uint16_t opcode() const { return bytes.size() >= 2 ? get_u16be(bytes, 0) : 0xFFFF; }
    std::uint16_t number() const { return bytes.size() >= 4 ? get_u16be(bytes, 2) : 0xFFFF; }
    std::size_t payload() const { return bytes.size() >= 4 ? bytes.size() - 4 : 0; }
};

Bytes rrq(const std::string& name);
Bytes wrq(const std::string& name);
Bytes ack(std::uint16_t block);
Bytes data(std::uint16_t block, const Bytes& payload);
Bytes text_bytes(const std::string& s);

// A UDP client on 127.0.0.1 that sends to the register's TFTP port.
class RawTftp {
public:
    RawTftp(const std::string& address, std::uint16_t port);
    void send(const Bytes& bytes);
    std::optional<Datagram> recv(std::chrono::milliseconds timeout);
    // A whole read, lock-step, keeping every datagram received.
    std::optional<Bytes> get(const std::string& name, std::vector<Datagram>* seen = nullptr);
    // A whole write; the result is the last datagram the register sent.
    std::optional<Datagram> put(const std::string& name, const Bytes& bytes);
    const net::Endpoint& server() const { return server_; }

private:
    net::Socket sock_;
    net::Endpoint server_;
};

// A TCP client of one of the register's ports.
class RawTcp {
public:
    RawTcp(const std::string& address, std::uint16_t port);
    bool connected() const { return sock_.valid(); }
    void send(const std::string& text);
    // Bytes that arrive within the time-out ("" when none; nullopt when closed).
    std::optional<std::string> recv(std::chrono::milliseconds timeout);
    void close() { sock_.close(); }

private:
    net::Socket sock_;
};

// A test name suffix made of the text's letters and digits.
std::string name_of(const std::string& text);

// Whether this host runs POSIX shell command lines with Debian's programs
// (tftp, curl, the ecrsim program); not so under Wine. host_shell_*.cpp
// answer per platform.
bool posix_shell();
// Runs a shell command line; its exit status (-1 without a POSIX shell).
int run(const std::string& command);

// Whether a UDP socket bound to a loopback address other than 127.0.0.1
// sends from that address, as on Linux and Windows. Wine 8.0 binds such a
// socket to INADDR_ANY instead, so its datagrams leave from 127.0.0.1.
bool loopback_aliases_send_as_bound();

// Skips the current test where posix_shell() is false.
#define ECRSIM_NEEDS_POSIX_SHELL()                                                      \
    do {                                                                                \
        if (!::ecrsim::test::posix_shell())                                             \
            GTEST_SKIP() << "runs Debian's programs through a POSIX shell, which this " \
                            "host does not have";                                       \
    } while (false)

class SimTest : public ::testing::Test {
protected:
    // A register on the given address, with short time-outs so that
    // retransmissions show within a test. Where loopback aliases do not send
    // as bound, the register serves on 127.0.0.1 whatever the address, so
    // that its answers still come from the address it serves on.
    Register& start(Options o = {});
    Options defaults(const std::string& address = "127.0.0.2") const;
    std::string info(int index) const;
    // Puts COMMAND.TXT with the text through a raw client; the last answer.
    std::optional<Datagram> command(const std::string& text);
    // Puts a file through a raw client; the last answer.
    std::optional<Datagram> put(const std::string& name, const Bytes& bytes);
    std::optional<Bytes> get(const std::string& name);
    std::string local(const std::string& name) const { return dir_.file(name); }

    veltra::test::TempDir dir_;
    veltra::test::TempDir state_;
    std::unique_ptr<Register> reg_;
};

}  // namespace ecrsim::test

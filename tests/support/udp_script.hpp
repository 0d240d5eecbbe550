// A scripted UDP peer for protocol tests: a thread that runs the test's
// script against one socket on 127.0.0.1 and records every datagram it
// receives, so the test can check exactly what the library sent.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sys/sockets.hpp"

namespace veltra::test {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t ipv4(unsigned a, unsigned b, unsigned c, unsigned d);

// What the script sees of the network.
class PeerIo {
public:
    PeerIo(sys::UdpSocket& main, std::uint32_t addr);

    // The next datagram to the peer's port, or nothing within timeout_ms.
    std::optional<Bytes> recv(std::uint32_t timeout_ms = 12000);
    // Sends to the client of the last datagram received.
    void send(const Bytes& packet);
    // Sends from a second socket of the peer (another port, same address);
    // later recv_other() reads what comes back to that port.
    void send_from_other_port(const Bytes& packet);
    std::optional<Bytes> recv_other(std::uint32_t timeout_ms = 12000);
    // Sends from a socket on another address of the loopback network.
    void send_from_other_address(const Bytes& packet);

    std::uint16_t client_port() const { return client_port_; }
    // Every datagram received, in order, on either port.
    std::vector<Bytes> transcript;

private:
    sys::UdpSocket& main_;
    std::uint32_t addr_;
    std::unique_ptr<sys::UdpSocket> other_;
    std::uint32_t client_addr_ = 0;
    std::uint16_t client_port_ = 0;
};

class ScriptedPeer {
public:
    using Script = std::function<void(PeerIo&)>;
    explicit ScriptedPeer(Script script);
    ~ScriptedPeer();

    std::uint16_t port() const { return port_; }
    // Waits for the script to end and returns what the peer received.
    const std::vector<Bytes>& finish();

private:
    sys::UdpSocket socket_;
    std::uint16_t port_ = 0;
    std::unique_ptr<PeerIo> io_;
    std::thread thread_;
};

// TFTP packets, built and read independently of the client.
Bytes tftp_data(std::uint16_t block, const Bytes& data);
Bytes tftp_ack(std::uint16_t block);
Bytes tftp_error(std::uint16_t code, const std::string& message);
Bytes tftp_request(std::uint16_t opcode, const std::string& name);
std::uint16_t tftp_opcode(const Bytes& packet);
std::uint16_t tftp_block(const Bytes& packet);
Bytes tftp_payload(const Bytes& packet);

}  // namespace veltra::test

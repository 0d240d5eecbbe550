// A scripted TCP peer for the raw channel: a thread that accepts one
// connection on 127.0.0.1 and runs the test's script on it, keeping every
// byte received so the test can check exactly what the library sent.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "sim_sockets.hpp"

namespace veltra::test {

class TcpPeerIo {
public:
    explicit TcpPeerIo(ecrsim::net::Socket& conn) : conn_(conn) {}
    // Exactly n bytes, or nothing when the connection ends or timeout_ms pass.
    std::optional<std::string> read(std::size_t n, int timeout_ms = 12000);
    // Whatever arrives within timeout_ms (empty when nothing did).
    std::string read_some(int timeout_ms);
    void send(const std::string& bytes);
    // Sends byte without pause until stop() says so or the connection ends,
    // keeping whatever arrives meanwhile. Never blocks on a full socket.
    void flood(char byte, const std::function<bool()>& stop);
    // Ends the connection from the register's side.
    void close();
    // True once the library has closed or shut down its end.
    bool wait_for_end(int timeout_ms = 12000);
    // Everything received, in order.
    std::string received;

private:
    ecrsim::net::Socket& conn_;
};

class ScriptedTcpPeer {
public:
    using Script = std::function<void(TcpPeerIo&)>;
    // Listens on 127.0.0.1 at a free port; the script runs once a client connects.
    explicit ScriptedTcpPeer(Script script);
    ~ScriptedTcpPeer();

    std::uint16_t port() const { return port_; }
    // Waits for the script to end and returns what the peer received.
    std::string finish();

private:
    ecrsim::net::Socket listener_;
    ecrsim::net::Socket conn_;
    std::uint16_t port_ = 0;
    std::string received_;
    std::thread thread_;
};

}  // namespace veltra::test

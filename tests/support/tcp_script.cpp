// The scripted TCP peer, on ecrsim's socket services.
#include "tcp_script.hpp"

#include <chrono>
#include <span>

#include "test_support.hpp"

namespace veltra::test {
using Clock = std::chrono::steady_clock;

std::optional<std::string> TcpPeerIo::read(std::size_t n, int timeout_ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string got;
    while (got.size() < n) {
        const ecrsim::net::Socket* watch[] = {&conn_};
        if (!ecrsim::net::wait_readable(watch, left_ms(end))[0]) return std::nullopt;
        std::uint8_t buf[4096];
        bool closed = false;
        const std::size_t room = std::min(sizeof buf, n - got.size());
        const long r = ecrsim::net::recv_some(conn_, std::span(buf, room), closed);
        if (closed) return std::nullopt;
        if (r > 0) {
            got.append(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(r));
            received.append(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(r));
        }
    }
    return got;
}

std::string TcpPeerIo::read_some(int timeout_ms) {
    const ecrsim::net::Socket* watch[] = {&conn_};
    if (!ecrsim::net::wait_readable(watch, timeout_ms)[0]) return {};
    std::uint8_t buf[4096];
    bool closed = false;
    const long r = ecrsim::net::recv_some(conn_, buf, closed);
    if (r <= 0) return {};
    const std::string got(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(r));
    received += got;
    return got;
}

void TcpPeerIo::send(const std::string& bytes) {
    ecrsim::net::send_all(
        conn_, std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

void TcpPeerIo::flood(char byte, const std::function<bool()>& stop) {
    const std::string chunk(64 * 1024, byte);
    while (!stop()) {
        const ecrsim::net::Interest interest{&conn_, true, true};
        const ecrsim::net::Readiness ready =
            ecrsim::net::wait_ready(std::span(&interest, 1), 20)[0];
        if (ready.readable) {
            std::uint8_t buf[4096];
            bool closed = false;
            const long r = ecrsim::net::recv_some(conn_, buf, closed);
            if (closed || r == 0) return;
            if (r > 0)
                received.append(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(r));
        }
        if (ready.writable &&
            ecrsim::net::send_some(
                conn_,
                std::span(reinterpret_cast<const std::uint8_t*>(chunk.data()), chunk.size())) < 0) {
            return;
        }
    }
}

void TcpPeerIo::close() {
    conn_.close();
}

bool TcpPeerIo::wait_for_end(int timeout_ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (left_ms(end) > 0) {
        const ecrsim::net::Socket* watch[] = {&conn_};
        if (!ecrsim::net::wait_readable(watch, left_ms(end))[0]) return false;
        std::uint8_t buf[4096];
        bool closed = false;
        const long r = ecrsim::net::recv_some(conn_, buf, closed);
        if (closed) return true;
        if (r > 0) received.append(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(r));
    }
    return false;
}

ScriptedTcpPeer::ScriptedTcpPeer(Script script) {
    std::string error;
    const std::uint32_t loopback = *ecrsim::net::parse_ipv4("127.0.0.1");
    listener_ = ecrsim::net::tcp_listen(loopback, 0, error);
    port_ = ecrsim::net::local_port(listener_);
    thread_ = std::thread([this, script = std::move(script)] {
        const auto end = Clock::now() + std::chrono::seconds(20);
        while (!conn_.valid() && left_ms(end) > 0) {
            const ecrsim::net::Socket* watch[] = {&listener_};
            if (!ecrsim::net::wait_readable(watch, left_ms(end))[0]) continue;
            ecrsim::net::Endpoint peer;
            conn_ = ecrsim::net::tcp_accept(listener_, peer);
        }
        if (!conn_.valid()) return;
        TcpPeerIo io(conn_);
        script(io);
        received_ = io.received;
    });
}

ScriptedTcpPeer::~ScriptedTcpPeer() {
    if (thread_.joinable()) thread_.join();
}

std::string ScriptedTcpPeer::finish() {
    if (thread_.joinable()) thread_.join();
    return received_;
}

}  // namespace veltra::test

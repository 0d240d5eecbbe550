// Shared pieces of the TFTP client tests: a fixture with a fresh directory
// and the register's port pointed at a scripted peer, and a readable form of
// what the peer received.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "frame/library_frame.hpp"
#include "net/endpoints.hpp"
#include "net/tftp_client.hpp"
#include "test_support.hpp"
#include "udp_script.hpp"

namespace veltra::test {

// "RRQ PLU.BIN octet", "WRQ ...", "DATA 2 488", "ACK 1", "ERROR 4", "?"
inline std::string describe(const Bytes& p) {
    switch (tftp_opcode(p)) {
        case 1:
        case 2: {
            std::string s = tftp_opcode(p) == 1 ? "RRQ" : "WRQ";
            std::string rest(p.begin() + 2, p.end());
            for (char& c : rest) {
                if (c == '\0') c = ' ';
            }
            while (!rest.empty() && rest.back() == ' ') rest.pop_back();
            return s + " " + rest;
        }
        case 3:
            return "DATA " + std::to_string(tftp_block(p)) + " " + std::to_string(p.size() - 4);
        case 4:
            return "ACK " + std::to_string(tftp_block(p));
        case 5:
            return "ERROR " + std::to_string(tftp_block(p));
        default:
            return "?";
    }
}

inline std::vector<std::string> describe(const std::vector<Bytes>& packets) {
    std::vector<std::string> out;
    for (const auto& p : packets) out.push_back(describe(p));
    return out;
}

// Serves content as the register does: lock-step, 512-byte blocks, an empty
// closing block for whole blocks; returns after the client's last ACKs.
inline void serve(PeerIo& io, const Bytes& content) {
    io.recv();  // the read request
    std::size_t sent = 0;
    std::uint16_t block = 1;
    for (;;) {
        const std::size_t n = std::min<std::size_t>(512, content.size() - sent);
        io.send(tftp_data(block, Bytes(content.begin() + sent, content.begin() + sent + n)));
        io.recv();
        sent += n;
        if (n < 512) break;
        ++block;
    }
    io.recv(300);  // the final ACK goes out twice
}

// The rest of a put after its first ACK, as the register takes it:
// acknowledges each block, the empty closing one included, and keeps what
// arrived. then_quiet: listen a moment longer for anything that must not come.
inline Bytes take_rest(PeerIo& io, bool then_quiet = true) {
    Bytes got;
    for (;;) {
        auto data = io.recv(2000);
        if (!data) break;
        const Bytes payload = tftp_payload(*data);
        got.insert(got.end(), payload.begin(), payload.end());
        io.send(tftp_ack(tftp_block(*data)));
        if (payload.size() < 512) break;
    }
    if (then_quiet) io.recv(300);
    return got;
}

// Takes a whole put as the register does.
inline Bytes take(PeerIo& io, bool then_quiet = true) {
    io.recv();
    io.send(tftp_ack(0));
    return take_rest(io, then_quiet);
}

// Makes one step of the socket fail, as a platform might.
class SocketWithoutTimeouts final : public TftpSocket {
public:
    bool set_recv_timeout(std::uint32_t, int& error) override {
        error = 10022;
        ++refused;
        return false;
    }
    bool send_to(std::uint32_t addr_be, std::uint16_t port,
                 std::span<const std::uint8_t> data) override {
        return sock_.send_to(addr_be, port, data);
    }
    sys::RecvStatus recv_from(std::span<std::uint8_t> buf, std::uint32_t timeout_ms,
                              sys::Datagram& got, int& error) override {
        return sock_.recv_from(buf, timeout_ms, got, error);
    }
    int refused = 0;

private:
    sys::UdpSocket sock_;
};

// The register without a network: each receive takes the next answer of the
// script, and a missing answer (or the end of the script) is a time-out that
// passes at once, so the rules about silence cost no real waiting.
class ScriptedSocket final : public TftpSocket {
public:
    using Answer = std::optional<Bytes>;
    explicit ScriptedSocket(std::vector<Answer> script) : script_(std::move(script)) {}

    bool set_recv_timeout(std::uint32_t, int&) override { return true; }
    bool send_to(std::uint32_t, std::uint16_t, std::span<const std::uint8_t> data) override {
        sent.emplace_back(data.begin(), data.end());
        return true;
    }
    sys::RecvStatus recv_from(std::span<std::uint8_t> buf, std::uint32_t, sys::Datagram& got,
                              int&) override {
        if (next_ >= script_.size()) return sys::RecvStatus::kTimedOut;
        const Answer& a = script_[next_++];
        if (!a || a->size() > buf.size()) return sys::RecvStatus::kTimedOut;
        std::copy(a->begin(), a->end(), buf.begin());
        got.length = a->size();
        got.from_addr = ipv4(127, 0, 0, 1);
        got.from_port = tftp_port();
        return sys::RecvStatus::kData;
    }
    // Every datagram the client sent, in order.
    std::vector<Bytes> sent;

private:
    std::vector<Answer> script_;
    std::size_t next_ = 0;
};

class TftpTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_dir_ = dirname();
        set_dirname(dir_.path().string());
    }
    void TearDown() override { set_dirname(saved_dir_); }

    // Starts the scripted register and points the client's port at it.
    void start(ScriptedPeer::Script script) {
        port_.reset();  // restores the variable before the next one is set
        peer_ = std::make_unique<ScriptedPeer>(std::move(script));
        port_ = std::make_unique<EnvVar>("ECR_TFTP_PORT", std::to_string(peer_->port()));
    }
    std::vector<std::string> sent_by_client() { return describe(peer_->finish()); }
    std::string path(const std::string& name) const { return dir_.file(name); }
    std::vector<std::string> trace() const { return read_lines(dir_.file("ecrlog.txt")); }
    bool trace_has(const std::string& text) const {
        for (const auto& line : trace()) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }

    TempDir dir_;
    std::string saved_dir_;
    EnvVar trace_on_{"ECR_TRACE", "1"};
    EnvVar retry_{"ECR_RETRY", std::nullopt};
    EnvVar proto_{"ECR_PROTO", std::nullopt};
    std::unique_ptr<ScriptedPeer> peer_;
    std::unique_ptr<EnvVar> port_;
    const std::uint32_t register_ = ipv4(127, 0, 0, 1);
};

inline std::string as_string(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

// Compares file contents without printing them: sizes and the first difference.
inline ::testing::AssertionResult same_bytes(const std::string& got, const std::string& want) {
    if (got == want) return ::testing::AssertionSuccess();
    std::size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
    return ::testing::AssertionFailure() << "got " << got.size() << " bytes, want " << want.size()
                                         << ", first difference at " << i;
}

}  // namespace veltra::test

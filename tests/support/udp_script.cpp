// The scripted UDP peer.
#include "udp_script.hpp"

#include <cstring>
#include <stdexcept>

namespace veltra::test {

std::uint32_t ipv4(unsigned a, unsigned b, unsigned c, unsigned d) {
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b),
                                   static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(d)};
    std::uint32_t v;
    std::memcpy(&v, bytes, 4);
    return v;
}

PeerIo::PeerIo(sys::UdpSocket& main, std::uint32_t addr) : main_(main), addr_(addr) {}

std::optional<Bytes> PeerIo::recv(std::uint32_t timeout_ms) {
    Bytes buf(2048);
    sys::Datagram got;
    int error = 0;
    if (main_.recv_from(buf, timeout_ms, got, error) != sys::RecvStatus::kData) return std::nullopt;
    buf.resize(got.length);
    client_addr_ = got.from_addr;
    client_port_ = got.from_port;
    transcript.push_back(buf);
    return buf;
}

void PeerIo::send(const Bytes& packet) {
    main_.send_to(client_addr_, client_port_, packet);
}

void PeerIo::send_from_other_port(const Bytes& packet) {
    if (!other_) {
        other_ = std::make_unique<sys::UdpSocket>();
        other_->bind(addr_, 0);
    }
    other_->send_to(client_addr_, client_port_, packet);
}

std::optional<Bytes> PeerIo::recv_other(std::uint32_t timeout_ms) {
    if (!other_) return std::nullopt;
    Bytes buf(2048);
    sys::Datagram got;
    int error = 0;
    if (other_->recv_from(buf, timeout_ms, got, error) != sys::RecvStatus::kData) {
        return std::nullopt;
    }
    buf.resize(got.length);
    transcript.push_back(buf);
    return buf;
}

void PeerIo::send_from_other_address(const Bytes& packet) {
    sys::UdpSocket stranger;
    stranger.bind(ipv4(127, 0, 0, 2), 0);
    stranger.send_to(client_addr_, client_port_, packet);
}

ScriptedPeer::ScriptedPeer(Script script) {
    if (!socket_.valid() || !socket_.bind(ipv4(127, 0, 0, 1), 0)) {
        throw std::runtime_error("cannot open the scripted peer's socket");
    }
    port_ = socket_.local_port();
    io_ = std::make_unique<PeerIo>(socket_, ipv4(127, 0, 0, 1));
    thread_ = std::thread([this, script = std::move(script)] { script(*io_); });
}

ScriptedPeer::~ScriptedPeer() {
    if (thread_.joinable()) thread_.join();
}

const std::vector<Bytes>& ScriptedPeer::finish() {
    if (thread_.joinable()) thread_.join();
    return io_->transcript;
}

namespace {

// opcode and number, then the bytes of tail (sized first, then copied: no
// growth of the vector while copying)
Bytes packet(std::uint16_t opcode, std::uint16_t number, const std::uint8_t* tail,
             std::size_t tail_len) {
    Bytes b(4 + tail_len, 0);
    b[0] = static_cast<std::uint8_t>(opcode >> 8);
    b[1] = static_cast<std::uint8_t>(opcode);
    b[2] = static_cast<std::uint8_t>(number >> 8);
    b[3] = static_cast<std::uint8_t>(number);
    if (tail_len != 0) std::memcpy(b.data() + 4, tail, tail_len);
    return b;
}

}  // namespace

Bytes tftp_data(std::uint16_t block, const Bytes& data) {
    return packet(3, block, data.data(), data.size());
}

Bytes tftp_ack(std::uint16_t block) {
    return packet(4, block, nullptr, 0);
}

Bytes tftp_error(std::uint16_t code, const std::string& message) {
    Bytes b =
        packet(5, code, reinterpret_cast<const std::uint8_t*>(message.c_str()), message.size() + 1);
    return b;
}

Bytes tftp_request(std::uint16_t opcode, const std::string& name) {
    const std::string text = name + std::string(1, '\0') + "octet" + std::string(1, '\0');
    Bytes b(2 + text.size());
    b[0] = static_cast<std::uint8_t>(opcode >> 8);
    b[1] = static_cast<std::uint8_t>(opcode);
    std::memcpy(b.data() + 2, text.data(), text.size());
    return b;
}

std::uint16_t tftp_opcode(const Bytes& p) {
    return p.size() >= 2 ? static_cast<std::uint16_t>((p[0] << 8) | p[1]) : 0;
}

std::uint16_t tftp_block(const Bytes& p) {
    return p.size() >= 4 ? static_cast<std::uint16_t>((p[2] << 8) | p[3]) : 0;
}

Bytes tftp_payload(const Bytes& p) {
    return p.size() > 4 ? Bytes(p.begin() + 4, p.end()) : Bytes();
}

}  // namespace veltra::test

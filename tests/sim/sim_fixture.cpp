// Shared pieces of the simulator's tests.
#include "sim_fixture.hpp"

#include <cctype>

#include "net/endpoints.hpp"

namespace ecrsim::test {

Bytes request(std::uint16_t op, const std::string& name) {
    const std::string body = name + std::string(1, '\0') + "octet" + std::string(1, '\0');
    Bytes b(2 + body.size());
    put_u16be(b, 0, op);
    std::copy(body.begin(), body.end(), b.begin() + 2);
    return b;
}

Bytes rrq(const std::string& name) {
    return request(veltra::kTftpRrq, name);
}
Bytes wrq(const std::string& name) {
    return request(veltra::kTftpWrq, name);
}

Bytes ack(std::uint16_t block) {
    Bytes b(4);
    put_u16be(b, 0, veltra::kTftpAck);
    put_u16be(b, 2, block);
    return b;
}

Bytes data(std::uint16_t block, const Bytes& payload) {
    Bytes b(4 + payload.size());
    put_u16be(b, 0, veltra::kTftpData);
    put_u16be(b, 2, block);
    std::copy(payload.begin(), payload.end(), b.begin() + 4);
    return b;
}

Bytes text_bytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

RawTftp::RawTftp(const std::string& address, std::uint16_t port) {
    std::string error;
    sock_ = net::udp_bind(*net::parse_ipv4("127.0.0.1"), 0, error);
    server_ = {*net::parse_ipv4(address), port};
}

void RawTftp::send(const Bytes& bytes) {
    net::send_to(sock_, bytes, server_);
}

std::optional<Datagram> RawTftp::recv(std::chrono::milliseconds timeout) {
    const net::Socket* s = &sock_;
    if (!net::wait_readable(std::span(&s, 1), static_cast<int>(timeout.count()))[0])
        return std::nullopt;
    Datagram d;
    d.bytes.resize(2048);
    const long n = net::recv_from(sock_, d.bytes, d.from);
    if (n < 0) return std::nullopt;
    d.bytes.resize(static_cast<std::size_t>(n));
    return d;
}

std::optional<Bytes> RawTftp::get(const std::string& name, std::vector<Datagram>* seen) {
    send(rrq(name));
    Bytes got;
    std::uint16_t expect = 1;
    for (int guard = 0; guard < 70000; ++guard) {
        auto d = recv(3s);
        if (!d) return std::nullopt;
        if (seen) seen->push_back(*d);
        if (d->opcode() != veltra::kTftpData) return std::nullopt;
        if (d->number() == expect) {
            got.insert(got.end(), d->bytes.begin() + 4, d->bytes.end());
            ++expect;
        }
        send(ack(d->number()));
        if (d->payload() < 512 && d->number() + 1 == expect) return got;
    }
    return std::nullopt;
}

std::optional<Datagram> RawTftp::put(const std::string& name, const Bytes& bytes) {
    send(wrq(name));
    auto d = recv(3s);
    if (!d || d->opcode() != veltra::kTftpAck || d->number() != 0) return d;
    for (std::size_t block = 1;; ++block) {
        const std::size_t at = (block - 1) * 512;
        const std::size_t len = std::min<std::size_t>(512, bytes.size() - at);
        send(data(static_cast<std::uint16_t>(block),
                  Bytes(bytes.begin() + static_cast<long>(at),
                        bytes.begin() + static_cast<long>(at + len))));
        d = recv(3s);
        if (!d || d->opcode() != veltra::kTftpAck || len < 512) return d;
    }
}

RawTcp::RawTcp(const std::string& address, std::uint16_t port)
    : sock_(net::tcp_connect({*net::parse_ipv4(address), port})) {}

void RawTcp::send(const std::string& text) {
    net::send_all(sock_,
                  std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::optional<std::string> RawTcp::recv(std::chrono::milliseconds timeout) {
    const net::Socket* s = &sock_;
    if (!net::wait_readable(std::span(&s, 1), static_cast<int>(timeout.count()))[0])
        return std::string();
    std::uint8_t buf[4096];
    bool closed = false;
    const long n = net::recv_some(sock_, buf, closed);
    if (closed) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(buf), n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::string name_of(const std::string& text) {
    std::string out;
    for (char c : text) out += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return out;
}

bool loopback_aliases_send_as_bound() {
    static const bool as_bound = [] {
        std::string error;
        const std::uint32_t home_addr = *net::parse_ipv4("127.0.0.1");
        const std::uint32_t alias_addr = *net::parse_ipv4("127.0.0.2");
        net::Socket home = net::udp_bind(home_addr, 0, error);
        net::Socket alias = net::udp_bind(alias_addr, 0, error);
        if (!home.valid() || !alias.valid()) return false;
        const std::uint8_t probe[1] = {0};
        if (!net::send_to(alias, probe, {home_addr, net::local_port(home)})) return false;
        const net::Socket* s = &home;
        if (!net::wait_readable(std::span(&s, 1), 1000)[0]) return false;
        std::uint8_t buf[16];
        net::Endpoint from;
        return net::recv_from(home, buf, from) >= 0 && from.addr_be == alias_addr;
    }();
    return as_bound;
}

Options SimTest::defaults(const std::string& address) const {
    Options o;
    o.address = loopback_aliases_send_as_bound() ? address : "127.0.0.1";
    o.state_dir = state_.path();
    o.busy_ms = 800;
    o.retransmit_ms = 400;
    o.max_retransmits = 3;
    return o;
}

Register& SimTest::start(Options o) {
    if (o.state_dir.empty()) o = defaults();
    reg_ = std::make_unique<Register>(o);
    return *reg_;
}

std::string SimTest::info(int index) const {
    return reg_->info_values().at(static_cast<std::size_t>(index));
}

std::optional<Datagram> SimTest::command(const std::string& text) {
    return put("COMMAND.TXT", text_bytes(text));
}

std::optional<Datagram> SimTest::put(const std::string& name, const Bytes& bytes) {
    RawTftp c(reg_->address(), reg_->tftp_port());
    return c.put(name, bytes);
}

std::optional<Bytes> SimTest::get(const std::string& name) {
    RawTftp c(reg_->address(), reg_->tftp_port());
    return c.get(name);
}

}  // namespace ecrsim::test

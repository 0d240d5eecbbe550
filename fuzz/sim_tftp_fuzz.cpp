// ecrsim's TFTP server over any run of datagrams from a few clients, with
// time passing between them: no datagram it sends is larger than a DATA
// block, and its transfers stay under the cap.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "faults.hpp"
#include "tftp_server.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// A register of two readable files; every write is taken.
struct Files final : ecrsim::TftpBackend {
    std::map<std::string, std::shared_ptr<const ecrsim::Bytes>> files{
        {"F.BIN", std::make_shared<const ecrsim::Bytes>(1500, 0x5A)},
        {"E.BIN", std::make_shared<const ecrsim::Bytes>(1024, 0xA5)},
        {"Z.BIN", std::make_shared<const ecrsim::Bytes>()}};
    std::shared_ptr<const ecrsim::Bytes> open_read(const std::string& name,
                                                   std::uint16_t& error) override {
        const auto it = files.find(name);
        if (it == files.end()) {
            error = 1;
            return nullptr;
        }
        return it->second;
    }
    std::uint16_t may_write(const std::string& name) override { return name == "NO.BIN" ? 2 : 0; }
    void write_done(const std::string&, const ecrsim::Bytes& bytes) override {
        if (bytes.size() > ecrsim::TftpServer::kMaxFile) std::abort();
    }
    void read_done(const std::string&, std::size_t, const ecrsim::net::Endpoint&) override {}
    void request_seen(const std::string&, const ecrsim::net::Endpoint&) override {}
};

const char* const kFaults[] = {"drop:in:2",    "dup:in:2",   "delay:in:3:1500", "error:2:3",
                               "silent@E.BIN", "port:out:1", "short:out:2",     "garbage:out:1",
                               "dup:out:2",    "drop:out:3"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    Files files;
    ecrsim::TftpTimes times;
    times.max_sessions = 4;
    ecrsim::TftpServer server(files, times);
    // The first two bytes arm faults, one bit each.
    const unsigned armed = data[0] | data[1] << 8;
    for (unsigned i = 0; i < sizeof kFaults / sizeof *kFaults; ++i)
        if (armed & (1u << i)) server.add_fault(*ecrsim::parse_tftp_fault(kFaults[i]));
    Clock::time_point now{};
    std::vector<ecrsim::Outgoing> out;
    // Then records: client (low 3 bits), time step (high 5 bits, in 250 ms),
    // length, datagram.
    std::size_t at = 2;
    while (at + 2 <= size) {
        const unsigned head = data[at];
        const std::size_t len = std::min<std::size_t>(data[at + 1], size - at - 2);
        const ecrsim::net::Endpoint from{0x0100007Fu,
                                         static_cast<std::uint16_t>(40000 + (head & 7))};
        now += std::chrono::milliseconds(250 * (head >> 3));
        server.on_timer(now, out);
        server.on_datagram(from, std::span(data + at + 2, len), now, out);
        at += 2 + len;
        for (const ecrsim::Outgoing& o : out)
            if (o.bytes.size() > 4 + 512) std::abort();
        out.clear();
        if (server.active_transfers() > times.max_sessions) std::abort();
    }
    // Time runs out: every transfer ends.
    for (int i = 0; i < 10; ++i) {
        now += std::chrono::seconds(30);
        server.on_timer(now, out);
        out.clear();
    }
    if (server.active_transfers() != 0) std::abort();
    return 0;
}

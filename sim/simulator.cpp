// The Register: sockets, the event loop thread, and the glue between the
// TFTP server, the raw channel, the keyboard and the register's state.
#include "simulator.hpp"

#include <stdexcept>
#include <string_view>

#include "line_channel.hpp"
#include "net/endpoints.hpp"
#include "register_state.hpp"
#include "sim_sockets.hpp"
#include "tftp_server.hpp"

namespace ecrsim {
namespace {

using Clock = std::chrono::steady_clock;

// The loop wakes at least this often to notice stop() and due timers.
constexpr int kTickMs = 20;
// Datagrams handled in one go before the loop looks at the other sockets.
constexpr int kDatagramBurst = 64;
constexpr std::size_t kReadChunk = 4096;

// The address one above in its last octet (one below for .254): another
// loopback address of the same machine for "answer from another address".
std::uint32_t neighbour_address(std::uint32_t addr_be) {
    const std::string d = net::dotted(addr_be);
    const auto dot = d.rfind('.');
    const int last = std::stoi(d.substr(dot + 1));
    const int other = last >= 254 ? last - 1 : last + 1;
    return net::parse_ipv4(d.substr(0, dot + 1) + std::to_string(other)).value_or(addr_be);
}

std::string hex_bytes(const std::string& bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (unsigned char c : bytes) {
        if (!s.empty()) s += ' ';
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

}  // namespace

struct Register::Impl final : TftpBackend {
    struct Conn {
        net::Socket sock;
        net::Endpoint peer;
        KeyParser keys;
        bool stalled = false;
        bool keyboard = false;  // has sent key messages: DELPAD, not a host
        bool display = false;   // a display connection, not the raw channel
        std::string pending;    // written, not yet taken by the socket
    };
    // A file being read, shared by every transfer of it while it is unchanged.
    struct SharedRead {
        std::weak_ptr<const Bytes> bytes;
        FileStamp stamp;
    };

    Impl(const Options& o)
        : options(o),
          state({o.state_dir, o.layout, o.busy_ms, o.seed, o.history_days, o.matricola}),
          tftp(*this,
               {o.retransmit_ms, o.max_retransmits, o.idle_ms, o.linger_ms, o.max_transfers}),
          script(o.layout.generation == Generation::Old
                     ? std::string(1, char(veltra::kLineAcceptedV1))
                     : std::string(1, char(veltra::kLineAccepted))) {}

    // TftpBackend
    std::shared_ptr<const Bytes> open_read(const std::string& name, std::uint16_t& error) override {
        const std::optional<FileStamp> stamp = state.stamp(name);
        if (stamp) {
            auto it = shared_reads.find(name);
            if (it != shared_reads.end() && it->second.stamp == *stamp)
                if (auto bytes = it->second.bytes.lock()) return bytes;
        }
        RegisterState::ReadResult r = state.read(name);
        error = r.error;
        if (!r.bytes) {
            note("tftp: get " + name + " refused with ERROR " + std::to_string(r.error));
            return nullptr;
        }
        auto bytes = std::make_shared<const Bytes>(std::move(*r.bytes));
        std::erase_if(shared_reads, [](const auto& e) { return e.second.bytes.expired(); });
        if (stamp) shared_reads[name] = {bytes, *stamp};
        return bytes;
    }
    std::uint16_t may_write(const std::string& name) override {
        const std::uint16_t e = state.may_write(name);
        if (e)
            note("tftp: put " + name + " refused with ERROR " + std::to_string(e) +
                 (state.setup() ? "" : " (not in setup mode)"));
        return e;
    }
    void write_done(const std::string& name, const Bytes& bytes) override {
        shared_reads.clear();  // a write or a command may change any file
        if (options.record) transcript.puts.push_back({name, bytes});
        note("tftp: put " + name + " " + std::to_string(bytes.size()) + " bytes");
        if (options.record && name == veltra::kCommandFile)
            transcript.commands.emplace_back(bytes.begin(), bytes.end());
        note(state.written(name, bytes));
    }
    void read_done(const std::string& name, std::size_t size, const net::Endpoint& peer) override {
        if (options.record) transcript.gets.push_back(name);
        note("tftp: get " + name + " " + std::to_string(size) + " bytes to " +
             net::to_string(peer));
    }
    void request_seen(const std::string& what, const net::Endpoint&) override {
        if (options.record) transcript.requests.push_back(what);
    }

    void note(const std::string& line) {
        if (line.empty()) return;
        if (options.record) transcript.lines.push_back(line);
        if (options.log) options.log(line);
    }

    void bind_all(Register& r);
    void run(const std::atomic<bool>& stopping);
    void read_udp(std::vector<Outgoing>& out);
    void send(std::vector<Outgoing>& out);
    const net::Socket& sender(Via via);
    void accept(const net::Socket& listener, std::vector<Conn>& conns, bool keyboard);
    void read_line(Conn& c);
    void read_keyboard(Conn& c);
    void queue(Conn& c, std::string_view bytes);
    void flush(Conn& c);
    std::string kind(const Conn& c) const { return c.display ? "display" : "line"; }
    void broadcast_display();
    void update_host_connections();
    int wait_ms() const;

    Options options;
    std::uint32_t addr_be = 0;
    std::uint16_t tftp_port = 0, line_port = 0, keyboard_port = 0;
    mutable std::mutex mutex;
    RegisterState state;
    TftpServer tftp;
    LineScript script;
    Transcript transcript;
    net::Socket udp, udp_other_port, udp_other_addr, line_listener, kbd_listener;
    std::vector<Conn> line_conns, kbd_conns;
    std::multimap<Clock::time_point, Outgoing> delayed_out;
    std::map<std::string, SharedRead> shared_reads;
};

void Register::Impl::bind_all(Register& r) {
    auto addr = net::parse_ipv4(options.address);
    if (!addr) throw std::runtime_error("not an IPv4 address: " + options.address);
    addr_be = *addr;
    std::string error;
    udp = net::udp_bind(addr_be, options.tftp_port, error);
    if (!udp.valid())
        throw std::runtime_error("TFTP port " + std::to_string(options.tftp_port) + ": " + error);
    line_listener = net::tcp_listen(addr_be, options.line_port, error);
    if (!line_listener.valid())
        throw std::runtime_error("line port " + std::to_string(options.line_port) + ": " + error);
    kbd_listener = net::tcp_listen(addr_be, options.keyboard_port, error);
    if (!kbd_listener.valid())
        throw std::runtime_error("keyboard port " + std::to_string(options.keyboard_port) + ": " +
                                 error);
    tftp_port = r.tftp_port_ = net::local_port(udp);
    line_port = r.line_port_ = net::local_port(line_listener);
    keyboard_port = r.keyboard_port_ = net::local_port(kbd_listener);
    state.set_endpoint(options.address, tftp_port);
}

int Register::Impl::wait_ms() const {
    auto next = tftp.next_deadline();
    if (!delayed_out.empty() && (!next || delayed_out.begin()->first < *next))
        next = delayed_out.begin()->first;
    if (!next) return kTickMs;
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(*next - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(ms, 0, kTickMs));
}

void Register::Impl::run(const std::atomic<bool>& stopping) {
    std::vector<Outgoing> out;
    std::vector<net::Interest> watch;
    std::vector<Conn*> conns;  // the connection of each watch entry from the fourth on
    while (!stopping.load()) {
        watch = {{&udp}, {&line_listener}, {&kbd_listener}};
        conns.clear();
        {
            std::lock_guard lock(mutex);
            // A stalled channel is not read, but what it was sent still goes.
            for (Conn& c : line_conns) {
                if (!c.sock.valid() || (c.stalled && c.pending.empty())) continue;
                watch.push_back({&c.sock, !c.stalled, !c.pending.empty()});
                conns.push_back(&c);
            }
            for (Conn& c : kbd_conns) {
                if (!c.sock.valid()) continue;
                watch.push_back({&c.sock, true, !c.pending.empty()});
                conns.push_back(&c);
            }
        }
        const std::vector<net::Readiness> ready = net::wait_ready(watch, wait_ms());
        std::lock_guard lock(mutex);
        if (ready[0].readable) read_udp(out);
        // Connections before accepts: an accept may move the vectors.
        for (std::size_t i = 3; i < watch.size(); ++i) {
            Conn& c = *conns[i - 3];
            if (ready[i].writable && c.sock.valid()) flush(c);
            if (!ready[i].readable || !c.sock.valid() || c.stalled) continue;
            if (c.display)
                read_keyboard(c);
            else
                read_line(c);
        }
        if (ready[1].readable) accept(line_listener, line_conns, false);
        if (ready[2].readable) accept(kbd_listener, kbd_conns, true);
        std::erase_if(line_conns, [](const Conn& c) { return !c.sock.valid(); });
        std::erase_if(kbd_conns, [](const Conn& c) { return !c.sock.valid(); });
        update_host_connections();
        tftp.on_timer(Clock::now(), out);
        send(out);
    }
}

void Register::Impl::read_udp(std::vector<Outgoing>& out) {
    std::uint8_t buf[2048];
    for (int n = 0; n < kDatagramBurst; ++n) {
        net::Endpoint from;
        const long len = net::recv_from(udp, buf, from);
        if (len < 0) break;
        tftp.on_datagram(from, std::span<const std::uint8_t>(buf, static_cast<std::size_t>(len)),
                         Clock::now(), out);
        send(out);
    }
}

const net::Socket& Register::Impl::sender(Via via) {
    std::string error;
    if (via == Via::OtherPort) {
        if (!udp_other_port.valid()) udp_other_port = net::udp_bind(addr_be, 0, error);
        return udp_other_port.valid() ? udp_other_port : udp;
    }
    if (via == Via::OtherAddress) {
        if (!udp_other_addr.valid())
            udp_other_addr = net::udp_bind(neighbour_address(addr_be), tftp_port, error);
        if (!udp_other_addr.valid())
            udp_other_addr = net::udp_bind(neighbour_address(addr_be), 0, error);
        return udp_other_addr.valid() ? udp_other_addr : udp;
    }
    return udp;
}

void Register::Impl::send(std::vector<Outgoing>& out) {
    const auto now = Clock::now();
    for (Outgoing& o : out) {
        if (o.delay_ms > 0) {
            const int delay = o.delay_ms;
            o.delay_ms = 0;
            delayed_out.emplace(now + std::chrono::milliseconds(delay), std::move(o));
            continue;
        }
        net::send_to(sender(o.via), o.bytes, o.to);
    }
    out.clear();
    while (!delayed_out.empty() && delayed_out.begin()->first <= now) {
        const Outgoing& o = delayed_out.begin()->second;
        net::send_to(sender(o.via), o.bytes, o.to);
        delayed_out.erase(delayed_out.begin());
    }
}

void Register::Impl::accept(const net::Socket& listener, std::vector<Conn>& conns, bool keyboard) {
    Conn c;
    c.sock = net::tcp_accept(listener, c.peer);
    if (!c.sock.valid()) return;
    c.display = keyboard;
    note(kind(c) + ": connection from " + net::to_string(c.peer));
    if (keyboard) queue(c, std::string(kDisplayPrefix) + state.display());
    if (c.sock.valid()) conns.push_back(std::move(c));
}

// Writes to clients never wait: what a socket does not take now waits in the
// connection's backlog, and a client that falls further behind is dropped.
void Register::Impl::queue(Conn& c, std::string_view bytes) {
    if (!c.sock.valid()) return;
    if (c.pending.size() + bytes.size() > options.client_backlog) {
        note(kind(c) + ": " + net::to_string(c.peer) + " dropped, " +
             std::to_string(c.pending.size() + bytes.size()) + " bytes unread");
        c.sock.close();
        c.pending.clear();
        return;
    }
    c.pending.append(bytes);
    flush(c);
}

void Register::Impl::flush(Conn& c) {
    while (!c.pending.empty()) {
        const long n = net::send_some(
            c.sock,
            std::span(reinterpret_cast<const std::uint8_t*>(c.pending.data()), c.pending.size()));
        if (n < 0) {
            note(kind(c) + ": " + net::to_string(c.peer) + " gone");
            c.sock.close();
            c.pending.clear();
            return;
        }
        if (n == 0) return;  // the socket is full; the loop waits for room
        c.pending.erase(0, static_cast<std::size_t>(n));
    }
}

void Register::Impl::read_line(Conn& c) {
    std::uint8_t buf[kReadChunk];
    bool closed = false;
    const long n = net::recv_some(c.sock, buf, closed);
    if (closed) {
        note("line: " + net::to_string(c.peer) + " closed");
        c.sock.close();
        return;
    }
    if (n <= 0) return;
    const std::string piece(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(n));
    if (options.record) transcript.tcp_bytes[line_port] += piece;
    const std::vector<std::string> keys = c.keys.feed(piece);
    for (const std::string& k : keys) {
        c.keyboard = true;
        if (options.record) transcript.keys.push_back(k);
        const bool changed = state.key(k);
        note("key: " + k + " display '" + state.display() + "'");
        if (changed) broadcast_display();  // every change goes out
    }
    // Key messages are key presses, not text: they get no answer byte. A
    // scripted drop still takes them, once their keys are carried out: the
    // sale is made, the keypad's connection lost.
    if (!keys.empty() && keys.size() * 8 == piece.size()) {
        if (script.take_close()) {
            note("line: " + std::to_string(keys.size()) + " keys, connection closed");
            c.sock.close();
        }
        return;
    }
    const LineAnswer a = script.next();
    switch (a.kind) {
        case LineAnswer::Kind::Bytes:
            queue(c, a.bytes);
            note("line: " + std::to_string(n) + " bytes, answer " + hex_bytes(a.bytes));
            break;
        case LineAnswer::Kind::Silence:
            note("line: " + std::to_string(n) + " bytes, no answer");
            break;
        case LineAnswer::Kind::Close:
            note("line: " + std::to_string(n) + " bytes, connection closed");
            c.sock.close();
            break;
        case LineAnswer::Kind::Stall:
            note("line: " + std::to_string(n) + " bytes, channel stalled");
            c.stalled = true;
            break;
    }
}

void Register::Impl::read_keyboard(Conn& c) {
    std::uint8_t buf[kReadChunk];
    bool closed = false;
    const long n = net::recv_some(c.sock, buf, closed);
    if (closed) {
        note("display: " + net::to_string(c.peer) + " closed");
        c.sock.close();
        return;
    }
    if (n > 0 && options.record)
        transcript.tcp_bytes[keyboard_port].append(reinterpret_cast<const char*>(buf),
                                                   static_cast<std::size_t>(n));
}

void Register::Impl::broadcast_display() {
    const std::string text = std::string(kDisplayPrefix) + state.display();
    for (Conn& c : kbd_conns) queue(c, text);
}

void Register::Impl::update_host_connections() {
    int hosts = 0;
    for (const Conn& c : line_conns)
        if (c.sock.valid() && !c.keyboard) ++hosts;
    state.set_host_connections(hosts);
}

Register::Register(Options options) : options_(std::move(options)) {
    if (options_.state_dir.empty()) throw std::runtime_error("no state directory");
    impl_ = std::make_unique<Impl>(options_);
    impl_->bind_all(*this);
    impl_->note("ecrsim: register at " + options_.address + ", TFTP " + std::to_string(tftp_port_) +
                ", line " + std::to_string(line_port_) + ", display " +
                std::to_string(keyboard_port_) + ", " +
                generation_name(options_.layout.generation) + " generation, bitmap " +
                std::string(1, options_.layout.bitmap) + ", state " + options_.state_dir.string());
    thread_ = std::thread([this] { impl_->run(stopping_); });
}

Register::~Register() {
    stop();
}

void Register::stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
}

std::unique_lock<std::mutex> Register::locked() const {
    return std::unique_lock(impl_->mutex);
}

std::string Register::other_address() const {
    return net::dotted(neighbour_address(impl_->addr_be));
}

std::string Register::info_line() const {
    auto lock = locked();
    return impl_->state.info_line();
}
std::vector<std::string> Register::info_values() const {
    auto lock = locked();
    return impl_->state.info_values();
}
void Register::set_info_field(int index, std::optional<std::string> value) {
    auto lock = locked();
    impl_->state.set_info_override(index, std::move(value));
}
void Register::set_setup_mode(bool on) {
    auto lock = locked();
    impl_->state.set_setup(on);
}
bool Register::setup_mode() const {
    auto lock = locked();
    return impl_->state.setup();
}
void Register::set_keep_busy(bool on) {
    auto lock = locked();
    impl_->state.set_keep_busy(on);
}
void Register::set_busy_ms(int ms) {
    auto lock = locked();
    impl_->state.set_busy_ms(ms);
}
bool Register::busy() const {
    auto lock = locked();
    return impl_->state.busy();
}
void Register::set_state_letter(char letter) {
    auto lock = locked();
    impl_->state.set_state_letter(letter);
}
void Register::set_error_state(bool on) {
    auto lock = locked();
    impl_->state.set_error(on);
}
void Register::set_sales_error(bool on) {
    auto lock = locked();
    impl_->state.set_sales_error(on);
}
void Register::set_empty_sales_file(bool on) {
    auto lock = locked();
    impl_->state.set_empty_sales_file(on);
}
void Register::set_layout(Layout layout, bool reseed_files) {
    auto lock = locked();
    impl_->shared_reads.clear();
    impl_->state.set_layout(layout, reseed_files);
    impl_->script.set_default(
        std::string(1, char(layout.generation == Generation::Old ? veltra::kLineAcceptedV1
                                                                 : veltra::kLineAccepted)));
}
void Register::put_file(const std::string& name, const Bytes& bytes) {
    auto lock = locked();
    impl_->shared_reads.erase(name);
    impl_->state.put_file(name, bytes);
}
std::optional<Bytes> Register::file(const std::string& name) const {
    auto lock = locked();
    return impl_->state.file(name);
}
SalesBook Register::sales() const {
    auto lock = locked();
    return impl_->state.sales();
}
void Register::set_sales(const SalesBook& book) {
    auto lock = locked();
    impl_->state.set_sales(book);
}
std::string Register::display() const {
    auto lock = locked();
    return impl_->state.display();
}
std::vector<std::string> Register::releases() const {
    auto lock = locked();
    return impl_->state.releases();
}
std::size_t Register::tftp_sessions() const {
    auto lock = locked();
    return impl_->tftp.active_transfers();
}
void Register::add_fault(const TftpFault& fault) {
    auto lock = locked();
    impl_->tftp.add_fault(fault);
    impl_->note("fault: " + describe(fault));
}
void Register::clear_faults() {
    auto lock = locked();
    impl_->tftp.clear_faults();
}
void Register::script_line(const std::vector<LineAnswer>& answers) {
    auto lock = locked();
    impl_->script.push(answers);
}
void Register::set_line_default(const std::string& answer) {
    auto lock = locked();
    impl_->script.set_default(answer);
}
void Register::close_line_connections() {
    auto lock = locked();
    for (Impl::Conn& c : impl_->line_conns) c.sock.close();
}
void Register::send_line_data(const std::string& bytes) {
    auto lock = locked();
    for (Impl::Conn& c : impl_->line_conns) {
        if (!c.sock.valid()) continue;
        net::send_all(c.sock,
                      std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    }
    impl_->note("line: sent " + std::to_string(bytes.size()) + " bytes of data");
}
Transcript Register::transcript() const {
    auto lock = locked();
    return impl_->transcript;
}
void Register::clear_transcript() {
    auto lock = locked();
    impl_->transcript = {};
}

bool Register::wait_for(const std::function<bool(const Transcript&)>& pred,
                        std::chrono::milliseconds timeout) const {
    const auto end = Clock::now() + timeout;
    for (;;) {
        {
            auto lock = locked();
            if (pred(impl_->transcript)) return true;
        }
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace ecrsim

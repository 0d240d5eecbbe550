// TFTP server logic: one session per client endpoint, lock-step, with the
// scripted faults applied to the n-th datagram of a transfer.
#include "tftp_server.hpp"

#include <algorithm>

#include "net/endpoints.hpp"

namespace ecrsim {
namespace {

using veltra::kTftpAck;
using veltra::kTftpBlockSize;
using veltra::kTftpData;
using veltra::kTftpError;
using veltra::kTftpRrq;
using veltra::kTftpWrq;

// A request: opcode, file name, NUL, mode, NUL (options after it are ignored).
bool parse_request(std::span<const std::uint8_t> b, std::string& name) {
    std::size_t i = 2;
    while (i < b.size() && b[i] != 0) ++i;
    if (i >= b.size() || i == 2) return false;
    name.assign(reinterpret_cast<const char*>(b.data()) + 2, i - 2);
    std::size_t j = i + 1;
    while (j < b.size() && b[j] != 0) ++j;
    if (j >= b.size() || j == i + 1) return false;
    // Clients that write "/NAME" mean the register's NAME.
    while (!name.empty() && name.front() == '/') name.erase(0, 1);
    return !name.empty();
}

Bytes packet(std::uint16_t op, std::uint16_t block, std::span<const std::uint8_t> payload = {}) {
    Bytes b(4 + payload.size());
    put_u16be(b, 0, op);
    put_u16be(b, 2, block);
    std::copy(payload.begin(), payload.end(), b.begin() + 4);
    return b;
}

}  // namespace

Bytes tftp_error(std::uint16_t code, const std::string& message) {
    // Sized once: the message and its NUL follow the four header bytes.
    Bytes b(4 + message.size() + 1, 0);
    put_u16be(b, 0, kTftpError);
    put_u16be(b, 2, code);
    std::copy(message.begin(), message.end(), b.begin() + 4);
    return b;
}

TftpServer::TftpServer(TftpBackend& backend, const TftpTimes& times)
    : backend_(backend), times_(times) {}

std::vector<TftpFault> TftpServer::arm(const std::string& file) {
    std::vector<TftpFault> armed;
    for (ArmedFault& a : faults_) {
        if (!a.fault.file.empty() && a.fault.file != file) continue;
        if (a.skip > 0) {
            --a.skip;
            continue;
        }
        armed.push_back(a.fault);
        if (a.left > 0) --a.left;
        if (a.left == 0 && a.fault.transfers != 0) a.left = -1;  // spent
    }
    std::erase_if(faults_, [](const ArmedFault& a) { return a.left < 0; });
    return armed;
}

void TftpServer::on_datagram(const net::Endpoint& from, std::span<const std::uint8_t> bytes,
                             Clock::time_point now, std::vector<Outgoing>& out) {
    handle(from, bytes, now, out, false);
}

void TftpServer::handle(const net::Endpoint& from, std::span<const std::uint8_t> bytes,
                        Clock::time_point now, std::vector<Outgoing>& out, bool counted) {
    if (bytes.size() < 2) return;
    const std::uint16_t op = get_u16be(bytes, 0);
    auto it = sessions_.find(from);
    const bool request = op == kTftpRrq || op == kTftpWrq;
    const bool repeated = request && it != sessions_.end() && !it->second.done &&
                          std::equal(bytes.begin(), bytes.end(), it->second.request.begin(),
                                     it->second.request.end());
    if (request && !repeated) {
        start(from, bytes, now, out, counted);
        return;
    }
    if (it == sessions_.end()) return;  // not one of our transfers
    Session& s = it->second;
    int copies = 1;
    if (!counted && !filter_in(s, from, bytes, now, out, copies)) {
        if (s.in_count == -1) sessions_.erase(it);
        return;
    }
    for (int c = 0; c < copies && sessions_.count(from); ++c) {
        if (s.silent) return;
        if (repeated) {
            if (!s.last.empty()) emit(s, from, s.last, out);
        } else if (op == kTftpAck && s.reading && bytes.size() >= 4) {
            on_ack(s, from, get_u16be(bytes, 2), now, out);
        } else if (op == kTftpData && !s.reading && bytes.size() >= 4) {
            on_data(s, from, get_u16be(bytes, 2), bytes.subspan(4), now, out);
        } else if (op == kTftpError) {
            sessions_.erase(from);
            return;
        }
        if (s.in_count == -1) {
            sessions_.erase(from);
            return;
        }
    }
}

bool TftpServer::filter_in(Session& s, const net::Endpoint& from,
                           std::span<const std::uint8_t> bytes, Clock::time_point now,
                           std::vector<Outgoing>& out, int& copies) {
    ++s.in_count;
    copies = 1;
    if (s.silent) {
        s.deadline = now + std::chrono::seconds(30);
        return false;
    }
    for (const TftpFault& f : s.faults) {
        if (f.direction != Direction::In || f.nth != s.in_count) continue;
        switch (f.kind) {
            case FaultKind::Drop:
                return false;
            case FaultKind::Delay:
                delayed_.push_back({now + std::chrono::milliseconds(f.delay_ms), from,
                                    Bytes(bytes.begin(), bytes.end())});
                return false;
            case FaultKind::Duplicate:
                copies = 2;
                break;
            case FaultKind::Error:
                emit(s, from, tftp_error(f.code, "refused"), out);
                s.in_count = -1;  // the transfer ends here
                return false;
            case FaultKind::Silent:
                s.silent = true;
                s.deadline = now + std::chrono::seconds(30);
                return false;
            default:
                break;
        }
    }
    return true;
}

void TftpServer::start(const net::Endpoint& from, std::span<const std::uint8_t> bytes,
                       Clock::time_point now, std::vector<Outgoing>& out, bool counted) {
    Session s;
    s.reading = get_u16be(bytes, 0) == kTftpRrq;
    s.request.assign(bytes.begin(), bytes.end());
    if (!parse_request(bytes, s.file)) {
        emit(s, from, tftp_error(4, "malformed request"), out);
        return;
    }
    // A flood of requests must not take the register's memory: past the cap
    // a new client is refused at once and keeps nothing here.
    if (!sessions_.count(from) && sessions_.size() >= times_.max_sessions) {
        emit(s, from, tftp_error(veltra::kTftpErrDiskFull, "too many transfers"), out);
        return;
    }
    // A request held back by a delay fault was counted when it arrived.
    s.faults = counted ? std::vector<TftpFault>{} : arm(s.file);
    int copies = 1;
    if (counted) {
        s.in_count = 1;
    } else if (!filter_in(s, from, bytes, now, out, copies)) {
        if (s.silent) sessions_[from] = std::move(s);
        return;
    }
    backend_.request_seen((s.reading ? "get " : "put ") + s.file, from);
    if (s.reading) {
        std::uint16_t error = 0;
        std::shared_ptr<const Bytes> source = backend_.open_read(s.file, error);
        if (!source) {
            emit(s, from, tftp_error(error, error == 1 ? "file not found" : "refused"), out);
            return;
        }
        if (source->size() > kMaxFile) {
            emit(s, from, tftp_error(veltra::kTftpErrDiskFull, "file too large"), out);
            return;
        }
        s.source = std::move(source);
        s.block = 1;
        Session& live = sessions_[from] = std::move(s);
        send_block(live, from, now, out);
    } else {
        if (const std::uint16_t error = backend_.may_write(s.file)) {
            emit(s, from, tftp_error(error, "access violation"), out);
            return;
        }
        s.block = 0;
        Session& live = sessions_[from] = std::move(s);
        send_ack(live, from, 0, now, out);
    }
    if (copies == 2) handle(from, bytes, now, out, true);
}

void TftpServer::on_ack(Session& s, const net::Endpoint& peer, std::uint16_t block,
                        Clock::time_point now, std::vector<Outgoing>& out) {
    if (block != s.block) return;  // a stale ACK: the lock-step waits for the right one
    const std::size_t offset = static_cast<std::size_t>(s.block - 1) * kTftpBlockSize;
    if (s.source->size() - offset < kTftpBlockSize) {
        backend_.read_done(s.file, s.source->size(), peer);
        s.in_count = -1;
        return;
    }
    ++s.block;
    send_block(s, peer, now, out);
}

void TftpServer::on_data(Session& s, const net::Endpoint& peer, std::uint16_t block,
                         std::span<const std::uint8_t> payload, Clock::time_point now,
                         std::vector<Outgoing>& out) {
    // A finished write whose linger is over is gone, even when the timer
    // has not yet come round to remove it.
    if (s.done && now >= s.deadline) return;
    if (block == s.block) {  // the client missed our ACK
        send_ack(s, peer, block, now, out);
        return;
    }
    if (s.done || block != static_cast<std::uint16_t>(s.block + 1)) return;
    if (s.data.size() + payload.size() > kMaxFile) {
        emit(s, peer, tftp_error(veltra::kTftpErrDiskFull, "file too large"), out);
        s.in_count = -1;
        return;
    }
    s.data.insert(s.data.end(), payload.begin(), payload.end());
    s.block = block;
    if (payload.size() < kTftpBlockSize) {
        s.done = true;
        backend_.write_done(s.file, s.data);
        Bytes().swap(s.data);  // the lingering session needs only the block number
    }
    send_ack(s, peer, block, now, out);
}

void TftpServer::send_block(Session& s, const net::Endpoint& peer, Clock::time_point now,
                            std::vector<Outgoing>& out) {
    const std::size_t offset = static_cast<std::size_t>(s.block - 1) * kTftpBlockSize;
    const std::span<const std::uint8_t> file(*s.source);
    const std::size_t len = std::min<std::size_t>(kTftpBlockSize, file.size() - offset);
    s.retries = 0;
    s.quiet = false;
    s.deadline = now + std::chrono::milliseconds(times_.retransmit_ms);
    emit(s, peer, packet(kTftpData, s.block, file.subspan(offset, len)), out);
}

void TftpServer::send_ack(Session& s, const net::Endpoint& peer, std::uint16_t block,
                          Clock::time_point now, std::vector<Outgoing>& out) {
    s.retries = 0;
    s.quiet = false;
    // A finished write lingers to acknowledge a repeated last block.
    s.deadline = now + std::chrono::milliseconds(s.done ? times_.linger_ms : times_.retransmit_ms);
    emit(s, peer, packet(kTftpAck, block), out);
}

void TftpServer::emit(Session& s, const net::Endpoint& peer, Bytes bytes,
                      std::vector<Outgoing>& out) {
    ++s.out_count;
    Outgoing o{peer, bytes};
    int copies = 1;
    for (const TftpFault& f : s.faults) {
        if (f.direction != Direction::Out || f.nth != s.out_count) continue;
        switch (f.kind) {
            case FaultKind::Drop:
                copies = 0;
                break;
            case FaultKind::Duplicate:
                copies = 2;
                break;
            case FaultKind::Delay:
                o.delay_ms = f.delay_ms;
                break;
            case FaultKind::OtherPort:
                o.via = Via::OtherPort;
                break;
            case FaultKind::OtherAddress:
                o.via = Via::OtherAddress;
                break;
            case FaultKind::Short:
                out.push_back({peer, Bytes(bytes.begin(), bytes.begin() + 3)});
                break;
            case FaultKind::Garbage:
                out.push_back({peer, {0x00, 0x63, 0xDE, 0xAD, 0xBE, 0xEF}});
                break;
            default:
                break;
        }
    }
    for (int c = 0; c < copies; ++c) out.push_back(o);
    s.last = std::move(bytes);
}

void TftpServer::on_timer(Clock::time_point now, std::vector<Outgoing>& out) {
    std::vector<Delayed> due;
    for (auto it = delayed_.begin(); it != delayed_.end();) {
        if (it->due <= now) {
            due.push_back(std::move(*it));
            it = delayed_.erase(it);
        } else {
            ++it;
        }
    }
    for (const Delayed& d : due) handle(d.from, d.bytes, now, out, true);
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        Session& s = it->second;
        if (s.deadline > now) {
            ++it;
            continue;
        }
        if (s.done || s.silent || s.quiet) {
            it = sessions_.erase(it);
            continue;
        }
        if (++s.retries > times_.max_retransmits) {
            s.quiet = true;
            s.deadline = now + std::chrono::milliseconds(times_.idle_ms);
            ++it;
            continue;
        }
        s.deadline = now + std::chrono::milliseconds(times_.retransmit_ms);
        emit(s, it->first, s.last, out);
        ++it;
    }
}

std::optional<TftpServer::Clock::time_point> TftpServer::next_deadline() const {
    std::optional<Clock::time_point> next;
    for (const auto& [peer, s] : sessions_)
        if (!next || s.deadline < *next) next = s.deadline;
    for (const Delayed& d : delayed_)
        if (!next || d.due < *next) next = d.due;
    return next;
}

}  // namespace ecrsim

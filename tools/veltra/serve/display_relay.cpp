// The display relay: one connection to a register's display port, its
// texts handed to every viewer.
#include "display_relay.hpp"

#include <cstdint>
#include <string_view>

#include "address_book.hpp"
#include "display_text.hpp"
#include "internal.hpp"

namespace veltra::tool::serve {
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

DisplayWatch::~DisplayWatch() {
    {
        std::lock_guard lock(m_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void DisplayWatch::stop() {
    std::lock_guard lock(m_);
    stopping_ = true;
    changed_.notify_all();
}

void DisplayWatch::watch(Viewer v) {
    std::string text;
    bool connected = false;
    {
        std::lock_guard lock(m_);
        if (stopping_) return;
        if (!thread_.joinable()) thread_ = std::thread([this] { loop(); });
        text = text_;
        connected = connected_;
    }
    if (!v(text, connected, false)) return;
    std::lock_guard lock(m_);
    viewers_.push_back(std::move(v));
}

std::size_t DisplayWatch::viewers() {
    std::lock_guard lock(m_);
    return viewers_.size();
}

void DisplayWatch::loop() {
    auto beat_at = Clock::now() + kBeat;
    for (;;) {
        {
            std::lock_guard lock(m_);
            if (stopping_) break;
        }
        // Resolved each time, as the library resolves a register's host;
        // a register named by serial only once it has been found.
        const std::optional<std::string> host = reg_.matricola.empty() ? std::optional(reg_.host)
                                                : book_ != nullptr     ? book_->address(reg_.name)
                                                                       : std::nullopt;
        std::uint32_t addr = 0;
        sys::TcpStream s;
        if (host && ecr_resolve_host(host->c_str(), addr) == 0 &&
            s.connect(addr, reg_.display_port, 0) == 0 && s.set_timeouts(250, 2000) != 0)
            s.reset();
        if (s.valid()) {
            set_connected(true);
            std::uint8_t buf[4096];
            for (;;) {
                {
                    std::lock_guard lock(m_);
                    if (stopping_) break;
                }
                if (Clock::now() >= beat_at) {
                    tell(true);
                    beat_at = Clock::now() + kBeat;
                }
                const sys::TcpIo io = s.recv(buf);
                if (io.status == sys::TcpStatus::kTimedOut) continue;
                if (io.status != sys::TcpStatus::kDone) break;
                // Each arrival stands alone, as on the keypad.
                publish(delpad::display_text(
                    std::string_view(reinterpret_cast<const char*>(buf), io.bytes)));
            }
            set_connected(false);
        }
        {
            std::unique_lock lock(m_);
            changed_.wait_for(lock, std::chrono::seconds(1), [this] { return stopping_; });
        }
        if (Clock::now() >= beat_at) {
            tell(true);
            beat_at = Clock::now() + kBeat;
        }
    }
    // Viewers leave with the service.
    std::lock_guard lock(m_);
    viewers_.clear();
}

void DisplayWatch::publish(std::string text) {
    {
        std::lock_guard lock(m_);
        text_ = std::move(text);
    }
    tell(false);
}

void DisplayWatch::set_connected(bool c) {
    {
        std::lock_guard lock(m_);
        if (connected_ == c) return;
        connected_ = c;
    }
    tell(false);
}

void DisplayWatch::tell(bool beat) {
    std::vector<Viewer> all;
    std::string text;
    bool connected = false;
    {
        std::lock_guard lock(m_);
        all.swap(viewers_);
        text = text_;
        connected = connected_;
    }
    std::vector<Viewer> staying;
    for (auto& v : all)
        if (v(text, connected, beat)) staying.push_back(std::move(v));
    std::lock_guard lock(m_);
    // Viewers added meanwhile are kept too.
    for (auto& v : staying) viewers_.push_back(std::move(v));
}

}  // namespace veltra::tool::serve

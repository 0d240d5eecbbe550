// The service's log writer.
#include "log_writer.hpp"

#include <cstdio>
#include <utility>

namespace veltra::tool::serve {

std::string log_escaped(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c == 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

LogWriter::~LogWriter() {
    {
        std::lock_guard lock(m_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void LogWriter::line(std::string text) {
    {
        std::lock_guard lock(m_);
        if (waiting_.size() >= kMaxWaiting) {
            ++dropped_;
            return;
        }
        waiting_.push_back("veltra serve: " + std::move(text));
    }
    changed_.notify_one();
}

void LogWriter::loop() {
    std::unique_lock lock(m_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
        if (waiting_.empty()) return;  // stopping, and all written
        std::deque<std::string> now;
        now.swap(waiting_);
        const std::size_t dropped = std::exchange(dropped_, 0);
        lock.unlock();
        if (dropped > 0)
            out_ << "veltra serve: " << dropped << " log lines dropped: the log was not read\n";
        for (const auto& l : now) out_ << l << '\n';
        out_.flush();
        lock.lock();
    }
}

}  // namespace veltra::tool::serve

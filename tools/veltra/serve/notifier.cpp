// Events handed to the shop's own command, one at a time.
#include "notifier.hpp"

#include <chrono>
#include <filesystem>
#include <optional>

#include "sys/child_process.hpp"

namespace veltra::tool::serve {

Notifier::Notifier(std::string command, std::function<void(const std::string&)> log)
    : command_(std::move(command)), log_(std::move(log)), thread_([this] { loop(); }) {}

Notifier::~Notifier() {
    {
        const std::lock_guard lock(m_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void Notifier::notify(Json event) {
    log_("notify " + event.value("what", std::string("event")) + " " +
         event.value("register", std::string("")) + ": " + event.dump());
    if (command_.empty()) return;
    {
        const std::lock_guard lock(m_);
        if (waiting_.size() >= kMaxWaiting) {
            ++failed_;
            log_("notify: too many events waiting; this one is dropped");
            return;
        }
        waiting_.push_back(std::move(event));
    }
    changed_.notify_all();
}

std::size_t Notifier::sent() const {
    const std::lock_guard lock(m_);
    return sent_;
}

std::size_t Notifier::failed() const {
    const std::lock_guard lock(m_);
    return failed_;
}

void Notifier::loop() {
    for (;;) {
        Json event;
        {
            std::unique_lock lock(m_);
            changed_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
            // Events queued when the service stops are still given: a
            // failure seen just before a stop is the one most worth telling.
            if (waiting_.empty()) return;
            event = std::move(waiting_.front());
            waiting_.pop_front();
        }
        run(event);
    }
}

void Notifier::run(const Json& event) {
    std::optional<int> code;
    std::string why;
    try {
        const auto [program, args] = sys::shell_command(command_);
        sys::ChildProcess child(program, args, std::filesystem::temp_directory_path().string(), {});
        // A command that ignores its input may end before reading it: what
        // counts is how it ends.
        child.write_line(event.dump());
        child.close_input();
        // The command's own output is read and dropped, so that a chatty
        // command never blocks on a full pipe.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(kCommandSeconds);
        bool ended = false;
        while (!ended && std::chrono::steady_clock::now() < until)
            child.read_line(100, 1 << 20, ended);
        code = child.wait_exit(ended ? 5000 : 0);
        if (!code) why = "ran longer than " + std::to_string(kCommandSeconds) + " s; ended";
    } catch (const std::exception& e) {
        why = std::string("cannot run: ") + e.what();
    }
    const std::lock_guard lock(m_);
    if (code && *code == 0 && why.empty()) {
        ++sent_;
        return;
    }
    ++failed_;
    if (why.empty()) why = "exit status " + std::to_string(*code);
    log_("notify: the command " + why);
}

}  // namespace veltra::tool::serve

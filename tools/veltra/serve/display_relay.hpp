// The registers' displays relayed to the service's viewers.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config.hpp"

namespace veltra::tool::serve {

class AddressBook;

// The register's display connection, opened when the first viewer comes and
// kept open (reopened after a second when it drops) while the service runs.
// Viewers are called with each new text; a viewer costs no thread.
class DisplayWatch {
public:
    // Called on the watch's thread with the text and whether the register's
    // display is connected, or with beat set every 15 s of quiet; returns
    // false to leave.
    using Viewer = std::function<bool(const std::string& text, bool connected, bool beat)>;

private:
    static constexpr std::chrono::seconds kBeat{15};

public:
    // book: where a register named by serial finds its address.
    DisplayWatch(const RegisterConfig& reg, const AddressBook* book) : reg_(reg), book_(book) {}
    ~DisplayWatch();
    void stop();

    // Adds a viewer, called at once with the present text.
    void watch(Viewer v);
    std::size_t viewers();

private:
    void loop();
    void publish(std::string text);
    void set_connected(bool c);
    // Calls every viewer outside the lock, on this thread only; those that
    // answer false are dropped.
    void tell(bool beat);

    RegisterConfig reg_;
    const AddressBook* book_;
    std::mutex m_;
    std::condition_variable changed_;
    std::string text_;
    bool connected_ = false;
    std::vector<Viewer> viewers_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace veltra::tool::serve

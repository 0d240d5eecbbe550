// What the service tells the shop on its own: a scheduled run that failed
// for good, a register silent for too long. Each event is one JSON object
// given on standard input to the command the configuration names (a mail,
// a chat message, whatever the shop already has).
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "answers.hpp"

namespace veltra::tool::serve {

class Notifier {
public:
    // A command that runs longer than this is ended: a hung mail program
    // must not hold back the next event.
    static constexpr int kCommandSeconds = 60;
    // Events waiting beyond this are dropped (and logged): a command that
    // fails slowly must not grow the service's memory.
    static constexpr std::size_t kMaxWaiting = 100;

    // command: run through the platform's shell; empty, events are only
    // logged.
    Notifier(std::string command, std::function<void(const std::string&)> log);
    ~Notifier();
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    // Queues the event; the command runs on the notifier's own thread, one
    // event at a time, in the order given.
    void notify(Json event);
    // Events given to the command so far, and how many of them it failed.
    std::size_t sent() const;
    std::size_t failed() const;

private:
    void loop();
    void run(const Json& event);

    std::string command_;
    std::function<void(const std::string&)> log_;
    mutable std::mutex m_;
    std::condition_variable changed_;
    std::deque<Json> waiting_;
    std::size_t sent_ = 0;
    std::size_t failed_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace veltra::tool::serve

// The service's log, one line per request and per job.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

namespace veltra::tool::serve {

// A decoded path as the log shows it: control characters and backslashes
// escaped, so that no path writes a line of its own.
std::string log_escaped(const std::string& text);

// The service's log, written by a thread of its own: a log nobody reads
// (a full pipe, a console paused by a selection) holds that thread only,
// never a connection's or a job's. Past kMaxWaiting unwritten lines, new
// ones are counted and dropped, and the count is written when the log
// moves again.
class LogWriter {
public:
    static constexpr std::size_t kMaxWaiting = 10000;

    explicit LogWriter(std::ostream& out) : out_(out), thread_([this] { loop(); }) {}
    ~LogWriter();
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    void line(std::string text);

private:
    void loop();

    std::ostream& out_;
    std::mutex m_;
    std::condition_variable changed_;
    std::deque<std::string> waiting_;
    std::size_t dropped_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace veltra::tool::serve

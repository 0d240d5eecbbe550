// `veltra serve` started for a benchmark: the port it listens on, and its
// log drained so that it never blocks on a full pipe. Stopped (killed) when
// the object goes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sys/child_process.hpp"

namespace bench {

class ServedProgram {
public:
    // Starts `program args...` in dir and waits up to 10 s for its
    // "listening on" line; port() is 0 when it never came.
    ServedProgram(const std::string& program, const std::vector<std::string>& args,
                  const std::string& dir, const std::map<std::string, std::string>& env = {})
        : child_(std::make_unique<veltra::sys::ChildProcess>(program, args, dir, env)) {
        bool ended = false;
        const std::string mark = "listening on http://127.0.0.1:";
        for (int i = 0; i < 100 && port_ == 0 && !ended; ++i) {
            auto line = child_->read_line(100, 4096, ended);
            if (line && line->find(mark) != std::string::npos)
                port_ = std::stoi(line->substr(line->find(mark) + mark.size()));
        }
        if (port_ == 0) return;
        // BENCH_SERVICE_LOG=1 shows the service's log with the time each
        // line came, to see where a run spends its time.
        const bool show = std::getenv("BENCH_SERVICE_LOG") != nullptr;
        drain_ = std::thread([this, show] {
            const auto t0 = std::chrono::steady_clock::now();
            bool e = false;
            while (!stop_ && !e) {
                auto line = child_->read_line(200, 1 << 20, e);
                if (show && line)
                    std::fprintf(
                        stderr, "%8.3f %s\n",
                        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0)
                            .count(),
                        line->c_str());
            }
        });
    }
    ~ServedProgram() { stop(); }
    ServedProgram(const ServedProgram&) = delete;
    ServedProgram& operator=(const ServedProgram&) = delete;

    int port() const { return port_; }
    auto id() const { return child_->id(); }
    // Kills the service and waits for its log to end.
    void stop() {
        stop_ = true;
        child_->kill();
        if (drain_.joinable()) drain_.join();
    }

private:
    std::unique_ptr<veltra::sys::ChildProcess> child_;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread drain_;
};

}  // namespace bench

// Progress bars on stderr for long transfers: done and total, rate and time
// left. Drawn only when stderr is a terminal and --quiet is not given; fed
// by the library's internal transfer observer.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "internal.hpp"
#include "tool_context.hpp"

namespace veltra::tool {

// Transfers smaller than this draw no bar (commands and answers).
inline constexpr std::int64_t kProgressMinBytes = 64 * 1024;

// The size a get will have, for the register files of fixed size; -1 otherwise.
std::int64_t expected_size(const std::string& pathname);

// One line of the bar: "PLU.BIN [#####.....]  45%  2.9/6.4 MB  1.2 MB/s  0:03 left".
// total -1: no bar and no time left. seconds: time since the transfer started.
std::string progress_line(const std::string& name, std::int64_t done, std::int64_t total,
                          double seconds);

// One line of a call made of many steps: "days [######......]  12/31 days  0:04 left".
std::string step_line(const std::string& what, std::int64_t done, std::int64_t total,
                      double seconds);

// Watches transfers, and calls made of many steps, while it lives, when ctx
// allows progress.
class ProgressBar {
public:
    explicit ProgressBar(Context& ctx);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    // Ends a bar that is on screen with its line end.
    void finish();

private:
    static void observe(void* self, const TransferProgress& p);
    void update(const TransferProgress& p);
    static void observe_step(void* self, const StepProgress& p);
    void update_step(const StepProgress& p);

    using Clock = std::chrono::steady_clock;
    Context& ctx_;
    bool active_ = false;
    bool drawn_ = false;  // a line is on screen without its line end
    std::string name_;
    std::string completed_;  // the transfer whose bar ended at its total
    std::int64_t total_ = -1;
    Clock::time_point started_{};
    Clock::time_point last_draw_{};
    Clock::time_point steps_started_{};
    Clock::time_point last_step_draw_{};
};

}  // namespace veltra::tool

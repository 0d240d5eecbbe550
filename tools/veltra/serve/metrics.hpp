// The service's state in Prometheus' text format: each register's last
// look, its last good backup and sales export, and the jobs counted by
// kind, state and verdict with their durations.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "jobs.hpp"
#include "register_watch.hpp"

namespace veltra::tool::serve {

// What the scrape shows of one register.
struct RegisterFacts {
    std::string name;
    RegisterLook look;
    int worker_restarts = 0;
    std::optional<std::int64_t> last_backup_ms;  // its newest good archive
    std::optional<std::int64_t> last_sales_ms;   // its last sales export that succeeded
};

class Metrics {
public:
    // Upper bounds of the duration buckets, in seconds: a status read takes
    // well under a second, a backup about a minute, a release several.
    static constexpr std::array<double, 11> kBuckets = {0.1, 0.25, 0.5, 1,   2.5, 5,
                                                        10,  30,   60,  120, 300};

    // Counts a job that ended. Its kind is the worker's operation (a small
    // fixed set), not the job's title, which may hold dates.
    void job_ended(const Job& job);

    // The scrape. now_ms is the service's clock, for the ages.
    std::string text(const std::vector<RegisterFacts>& registers, std::int64_t now_ms,
                     std::size_t notified, std::size_t notify_failed) const;

private:
    struct Durations {
        std::array<std::uint64_t, kBuckets.size()> buckets{};
        std::uint64_t count = 0;
        double sum = 0;
    };
    mutable std::mutex m_;
    // (kind, state, verdict) -> jobs
    std::map<std::tuple<std::string, std::string, std::string>, std::uint64_t> jobs_;
    std::map<std::string, Durations> durations_;
};

// A label's value as the text format quotes it.
std::string label_value(const std::string& text);

}  // namespace veltra::tool::serve

// What the service's journal costs a job: the write of a read that ended
// (a status call's only write, made after its answer went out), and the
// writes of a change (recorded before it runs, marked running, settled
// with its audit row), each synced to the disk.
//
// usage: journal_bench [STATE_DIR]
// Prints the median and 99th percentile of 100 of each, in ms.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "journal.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using veltra::tool::serve::JobRecord;
using veltra::tool::serve::JobUpdate;
using veltra::tool::serve::Journal;

double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

void report(const char* what, std::vector<double> times) {
    std::sort(times.begin(), times.end());
    std::printf("%s: median %.3f ms, 99th percentile %.3f ms (%zu runs)\n", what,
                times[times.size() / 2], times[times.size() * 99 / 100], times.size());
}

JobRecord job(const std::string& id, const char* kind) {
    JobRecord r;
    r.id = id;
    r.register_name = "shop1";
    r.kind = kind;
    r.request = R"({"op":"status","host":"127.0.0.1"})";
    r.state = "succeeded";
    r.result = std::string(R"({"result":{"ready":true,"info":")") + std::string(300, 'x') + "\"}}";
    r.created_ms = 1;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    const std::filesystem::path dir =
        argc > 1 ? std::filesystem::path(argv[1])
                 : std::filesystem::temp_directory_path() / "veltra-journal-bench";
    std::filesystem::remove_all(dir);
    {
        Journal journal(dir);
        std::vector<double> reads, changes;
        for (int i = 0; i < 100; ++i) {
            const auto t0 = Clock::now();
            journal.add_read(job("r" + std::to_string(i), "status"));
            reads.push_back(ms_since(t0));
        }
        for (int i = 0; i < 100; ++i) {
            const std::string id = "c" + std::to_string(i);
            JobRecord r = job(id, "command setup-off");
            r.state = "queued";
            r.idempotency_key = "key-" + id;
            const auto t0 = Clock::now();
            journal.add(r);
            JobUpdate running;
            running.state = "running";
            journal.update(id, running);
            JobUpdate end;
            end.state = "succeeded";
            end.verdict = "applied";
            end.evidence = R"({"before":{"setup":true},"after":{"setup":false}})";
            journal.update(id, end);
            journal.append_audit(2, "local", "shop1", id, "command setup-off", "applied");
            changes.push_back(ms_since(t0));
        }
        report("a read's record (after its answer)", reads);
        report("a change's four synced writes", changes);
    }
    std::filesystem::remove_all(dir);
    return 0;
}

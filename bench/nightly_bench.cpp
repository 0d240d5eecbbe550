// The nightly backup as the service runs it: one register alone, then four
// at once, each on its own worker. The service's clock is moved to the
// schedule's time and the run is timed until every register's archive is
// kept and checked.
//
// usage: nightly_bench VELTRA [ROUNDS]
// Prints, for 1 and 4 registers, the median of ROUNDS (3) nights from the
// moment the slot falls due to the last register's run succeeding, and the
// ratio of four to one (the target is 1.3 at most). Each night also shows
// how busy the machine's CPUs were: the simulated registers run here too,
// and on loopback neither end of a transfer waits for a network.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "figures.hpp"
#include "http_client.hpp"
#include "served_program.hpp"
#include "simulator.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using bench::median;

// 2026-12-09 23:29:00 UTC; the service runs with TZ=UTC0.
constexpr long long kBeforeSlotMs = 1'796'858'940'000;
constexpr long long kSlotMs = kBeforeSlotMs + 60'000;
constexpr const char* kSlotDay = "2026-12-09";

// The machine's busy and total CPU time so far, from /proc/stat, in ticks.
struct CpuTicks {
    long long busy = 0, total = 0;
};
CpuTicks cpu_ticks() {
    std::ifstream f("/proc/stat");
    std::string cpu;
    f >> cpu;
    CpuTicks t;
    long long v = 0;
    for (int i = 0; i < 8 && (f >> v); ++i) {
        t.total += v;
        if (i != 3 && i != 4) t.busy += v;  // not idle, not iowait
    }
    return t;
}

struct Night {
    double seconds = -1;
    double busy = 0;  // the share of the machine's CPUs busy meanwhile
};

// One night of n registers; the seconds from the slot to the last archive
// (negative when a run failed or the service did not start), and how busy
// the machine was meanwhile.
Night night(const std::string& program, int n) {
    const fs::path dir = fs::path("/tmp") / ("nightly-bench-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::vector<std::unique_ptr<ecrsim::Register>> regs;
    std::ofstream config(dir / "serve.conf");
    for (int i = 0; i < n; ++i) {
        ecrsim::Options o;
        o.address = "127.0.0.1";
        o.state_dir = (dir / ("r" + std::to_string(i))).string();
        o.record = false;
        regs.push_back(std::make_unique<ecrsim::Register>(o));
        config << "register r" << i << "=127.0.0.1:" << regs.back()->tftp_port() << ":"
               << regs.back()->line_port() << ":" << regs.back()->keyboard_port() << "\n";
    }
    config << "schedule nightly 23:30 backup all\n";
    config.close();
    const fs::path clock = dir / "clock";
    std::ofstream(clock) << kBeforeSlotMs << "\n";
    bench::ServedProgram service(
        fs::absolute(program).string(),
        {"serve", "--listen", "127.0.0.1:0", "--state-dir", (dir / "state").string(), "--config",
         (dir / "serve.conf").string()},
        dir.string(), {{"VELTRA_TEST_CLOCK_FILE", clock.string()}, {"TZ", "UTC0"}});
    const int port = service.port();
    if (port == 0) return {};
    // The first looks at the registers end before the slot falls due.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    veltra::http::Client c("127.0.0.1", port);
    const auto t0 = Clock::now();
    const CpuTicks c0 = cpu_ticks();
    std::ofstream(clock) << kSlotMs << "\n";
    double seconds = -1, busy = 0;
    std::string last;
    for (int i = 0; i < 12000; ++i) {
        auto r = c.get("/api/v1/schedules");
        if (r) last = r->body;
        int done = 0, failed = 0;
        if (r && r->status == 200) {
            const nlohmann::json body = nlohmann::json::parse(r->body);
            for (const auto& run : body["runs"]) {
                if (run["slot"] != kSlotDay) continue;
                done += run["state"] == "succeeded";
                failed += run["state"] == "retrying" || run["state"] == "gave_up";
            }
        }
        if (failed > 0) break;
        if (done == n) {
            seconds = std::chrono::duration<double>(Clock::now() - t0).count();
            const CpuTicks c1 = cpu_ticks();
            if (c1.total > c0.total)
                busy = static_cast<double>(c1.busy - c0.busy) /
                       static_cast<double>(c1.total - c0.total);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (seconds < 0) std::fprintf(stderr, "the schedules at the end: %s\n", last.c_str());
    service.stop();
    regs.clear();
    fs::remove_all(dir);
    return {seconds, busy};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: nightly_bench VELTRA [ROUNDS]\n");
        return 2;
    }
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    double medians[2] = {};
    const int counts[2] = {1, 4};
    for (int k = 0; k < 2; ++k) {
        std::vector<double> times;
        for (int r = 0; r < rounds; ++r) {
            const Night n = night(argv[1], counts[k]);
            if (n.seconds < 0) {
                std::fprintf(stderr, "a night of %d registers failed\n", counts[k]);
                return 1;
            }
            std::printf("%d register(s), night %d: %.3f s, the machine's CPUs %.0f %% busy\n",
                        counts[k], r + 1, n.seconds, 100 * n.busy);
            times.push_back(n.seconds);
        }
        medians[k] = median(times);
    }
    const double ratio = medians[1] / medians[0];
    std::printf(
        "nightly backup: 1 register %.3f s, 4 registers at once %.3f s, ratio %.2f "
        "(target 1.3 at most)\n",
        medians[0], medians[1], ratio);
    return ratio <= 1.3 ? 0 : 1;
}

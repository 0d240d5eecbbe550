// A chain's queue draining: 200 jobs over 20 registers of 5 shops, added by
// the head office, claimed by each shop's service (a thread with its own
// connection, woken by NOTIFY) and run for 50 ms each, as a short register
// exchange would. Prints how long the queue took to drain, the most
// registers busy at once (20 is every one), the most jobs at once on one
// register (must be 1) and the jobs run other than once (must be 0).
//
// usage: chain_bench CONNINFO   (bench/chain_bench.sh starts a server)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "chain_store.hpp"
#include "figures.hpp"

namespace {

using veltra::tool::serve::ChainStore;
using veltra::tool::serve::ChainWaiter;
using veltra::tool::serve::JobRecord;
using veltra::tool::serve::JobUpdate;

constexpr int kShops = 5;
constexpr int kRegistersPerShop = 4;
constexpr int kJobs = 200;
constexpr auto kJobTime = std::chrono::milliseconds(50);

std::string shop_name(int s) {
    return "shop" + std::to_string(s + 1);
}
std::string register_name(int s, int r) {
    return shop_name(s) + "-r" + std::to_string(r + 1);
}

std::int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

struct Tally {
    std::mutex m;
    std::map<std::string, int> busy;  // register: jobs on it now
    std::map<std::string, int> runs;  // job: times run
    int busy_now = 0;
    int peak_busy = 0;
    int peak_per_register = 0;
    std::atomic<int> done{0};
};

void run_shop(const std::string& conninfo, int s, Tally& t) {
    ChainStore store(conninfo);
    ChainWaiter waiter(conninfo, shop_name(s));
    while (t.done < kJobs) {
        const std::vector<JobRecord> jobs =
            store.claim(shop_name(s), now_ms(), 30'000, kRegistersPerShop);
        if (jobs.empty()) {
            waiter.wait(100);
            continue;
        }
        {
            const std::lock_guard lock(t.m);
            for (const JobRecord& j : jobs) {
                t.peak_per_register = std::max(t.peak_per_register, ++t.busy[j.register_name]);
                ++t.runs[j.id];
            }
            t.busy_now += static_cast<int>(jobs.size());
            t.peak_busy = std::max(t.peak_busy, t.busy_now);
        }
        // The registers of one claim work at once, each on its own line.
        std::this_thread::sleep_for(kJobTime);
        {
            const std::lock_guard lock(t.m);
            for (const JobRecord& j : jobs) --t.busy[j.register_name];
            t.busy_now -= static_cast<int>(jobs.size());
        }
        for (const JobRecord& j : jobs) {
            JobUpdate u;
            u.state = "succeeded";
            u.verdict = "applied";
            u.ended_ms = now_ms();
            if (!store.finish(shop_name(s), j.id, now_ms(), u))
                std::fprintf(stderr, "chain_bench: %s not taken\n", j.id.c_str());
            ++t.done;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: chain_bench CONNINFO\n");
        return 2;
    }
    const std::string conninfo = argv[1];
    try {
        ChainStore office(conninfo);
        for (int s = 0; s < kShops; ++s) {
            std::vector<std::string> regs;
            for (int r = 0; r < kRegistersPerShop; ++r) regs.push_back(register_name(s, r));
            office.own(shop_name(s), regs);
        }
        const int registers = kShops * kRegistersPerShop;
        const double queued = bench::seconds([&] {
            for (int i = 0; i < kJobs; ++i) {
                JobRecord j;
                j.id = "job" + std::to_string(i);
                const int reg = i % registers;
                j.register_name = register_name(reg / kRegistersPerShop, reg % kRegistersPerShop);
                j.kind = "table_put";
                j.request = "{}";
                j.created_ms = now_ms();
                office.add(j);
            }
        });
        Tally t;
        const double drained = bench::seconds([&] {
            std::vector<std::thread> shops;
            for (int s = 0; s < kShops; ++s)
                shops.emplace_back(run_shop, std::cref(conninfo), s, std::ref(t));
            for (auto& th : shops) th.join();
        });
        int not_once = 0;
        for (const auto& [id, n] : t.runs) not_once += n != 1;
        not_once += kJobs - static_cast<int>(t.runs.size());
        std::printf("%d jobs over %d registers of %d shops, %d ms each\n", kJobs, registers, kShops,
                    static_cast<int>(kJobTime.count()));
        std::printf(
            "queued in %.3f s; drained in %.3f s (%.3f s if every register ran "
            "back to back)\n",
            queued, drained, kJobs / registers * kJobTime.count() / 1000.0);
        std::printf(
            "registers busy at once: %d of %d; jobs at once on one register: %d; "
            "jobs not run exactly once: %d\n",
            t.peak_busy, registers, t.peak_per_register, not_once);
        return t.peak_per_register == 1 && not_once == 0 ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "chain_bench: %s\n", e.what());
        return 1;
    }
}

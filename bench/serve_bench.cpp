// veltra serve: what an API call adds to the library call it makes, and a
// steady 200 status requests a second over 4 registers, and how fast a
// register that answers is served while a fifth one is silent and piles up
// requests, idle connections and display streams.
//
// usage: serve_bench VELTRA [SECONDS]
// Prints the median of 100 direct status calls (ecr_get_info and
// ecr_get_status_new, what the status endpoint runs), the median of 100
// GET .../status, then the load run: requests sent, errors, and the
// service's resident memory before and after (Linux); last, the median and
// longest of 100 GET .../r0/status while "silent" (ports open, never an
// answer) holds 48 waiting status requests, beside 64 idle connections and
// 64 open display streams.
#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cmd/info_vars.hpp"
#include "figures.hpp"
#include "http.hpp"
#include "http_client.hpp"
#include "served_program.hpp"
#include "simulator.hpp"
#include "veltra.h"

namespace {

namespace http = veltra::http;
namespace net = boost::asio;

using Clock = std::chrono::steady_clock;

long rss_kib(long pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: serve_bench VELTRA [SECONDS]\n");
        return 2;
    }
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 20;
    std::vector<std::string> dirs;
    std::vector<std::unique_ptr<ecrsim::Register>> regs;
    char state[64];
    std::snprintf(state, sizeof state, "/tmp/serve-bench-%d-state", static_cast<int>(getpid()));
    std::vector<std::string> args = {"serve", "--listen", "127.0.0.1:0", "--state-dir", state};
    for (int i = 0; i < 4; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "/tmp/serve-bench-%d-%d", static_cast<int>(getpid()), i);
        dirs.push_back(name);
        ecrsim::Options o;
        o.address = "127.0.0.1";
        o.state_dir = name;
        o.record = false;
        // Every status request writes command files, and a finished write
        // lingers to acknowledge a repeated last block: at 50 requests a
        // second the default 15 s and 64 transfers would refuse requests
        // after a second. Loopback loses nothing, so a short linger does.
        o.linger_ms = 2000;
        o.max_transfers = 1024;
        regs.push_back(std::make_unique<ecrsim::Register>(o));
        args.push_back("--register");
        args.push_back("r" + std::to_string(i) +
                       "=127.0.0.1:" + std::to_string(regs.back()->tftp_port()) + ":" +
                       std::to_string(regs.back()->line_port()) + ":" +
                       std::to_string(regs.back()->keyboard_port()));
    }

    // "silent": its ports are open and never answer, as a register switched
    // off behind a switch that still takes connections would.
    net::io_context ctx;
    const auto loopback = net::ip::make_address("127.0.0.1");
    net::ip::udp::socket silent_tftp(ctx, {loopback, 0});
    net::ip::tcp::acceptor silent_line(ctx, {loopback, 0}), silent_display(ctx, {loopback, 0});
    args.push_back("--register");
    args.push_back("silent=127.0.0.1:" + std::to_string(silent_tftp.local_endpoint().port()) + ":" +
                   std::to_string(silent_line.local_endpoint().port()) + ":" +
                   std::to_string(silent_display.local_endpoint().port()));

    // The library call alone.
    setenv("ECR_TFTP_PORT", std::to_string(regs[0]->tftp_port()).c_str(), 1);
    std::vector<double> direct;
    for (int i = 0; i < 100; ++i) {
        std::array<char, veltra::kInfoAnswerSize> org{}, mod{};
        veltra::VarList vars{};
        char stato[2] = {}, conn[2] = {};
        const auto t0 = Clock::now();
        const int a = ecr_get_info("127.0.0.1", org.data(), mod.data(), vars.data());
        const int b = ecr_get_status_new("127.0.0.1", stato, conn);
        direct.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        if (a != 0 || b != 0) std::fprintf(stderr, "library call failed: %d %d\n", a, b);
    }

    bench::ServedProgram service(std::filesystem::absolute(argv[1]).string(), args, "/tmp");
    const int port = service.port();
    if (port == 0) {
        std::fprintf(stderr, "the service did not start\n");
        return 1;
    }

    http::Client c("127.0.0.1", port);
    c.get("/api/v1/registers/r0/status");  // the worker starts
    std::vector<double> api;
    for (int i = 0; i < 100; ++i) {
        const auto t0 = Clock::now();
        auto r = c.get("/api/v1/registers/r0/status");
        api.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        if (!r || r->status != 200) std::fprintf(stderr, "API call failed\n");
    }
    std::printf("status, median of 100: library %.2f ms, API %.2f ms, added %.2f ms\n",
                bench::median(direct), bench::median(api),
                bench::median(api) - bench::median(direct));

    // The load: 4 senders, one a register, 50 requests a second each.
    const long rss_before = rss_kib(service.id());
    std::atomic<long> sent{0}, errors{0};
    std::vector<std::vector<double>> waits(4);  // each request's time, by sender
    std::vector<std::thread> senders;
    const auto start = Clock::now();
    for (int i = 0; i < 4; ++i) {
        senders.emplace_back([&, i] {
            http::Client k("127.0.0.1", port);
            const std::string path = "/api/v1/registers/r" + std::to_string(i) + "/status";
            for (long n = 0;; ++n) {
                const auto at = start + std::chrono::milliseconds(20 * n);
                if (at - start >= std::chrono::seconds(seconds)) break;
                std::this_thread::sleep_until(at);
                const auto t0 = Clock::now();
                auto r = k.get(path);
                waits[static_cast<std::size_t>(i)].push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
                ++sent;
                if (!r || r->status != 200) ++errors;
            }
        });
    }
    // Memory at each quarter of the run: it stays flat once the service
    // keeps its most jobs (1000).
    std::vector<long> rss;
    for (int q = 1; q <= 4; ++q) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(seconds * 250 * q - 100));
        rss.push_back(rss_kib(service.id()));
    }
    for (auto& t : senders) t.join();
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    const long rss_after = rss_kib(service.id());
    std::printf("load: %ld requests in %.1f s (%.0f/s) over 4 registers, %ld errors\n", sent.load(),
                took, sent.load() / took, errors.load());
    std::vector<double> all;
    for (const auto& w : waits) all.insert(all.end(), w.begin(), w.end());
    std::sort(all.begin(), all.end());
    if (!all.empty())
        std::printf("load: answer times median %.2f ms, 99th percentile %.2f ms, longest %.2f ms\n",
                    all[all.size() / 2], all[all.size() * 99 / 100], all.back());
    std::printf(
        "service memory (VmRSS): %ld KiB before; at each quarter %ld, %ld, %ld, %ld KiB; "
        "%ld KiB after\n",
        rss_before, rss[0], rss[1], rss[2], rss[3], rss_after);

    // A silent register and connections that hold on.
    std::deque<net::ip::tcp::socket> held;
    auto hold = [&](const std::string& target) {
        held.emplace_back(ctx);
        held.back().connect({loopback, static_cast<unsigned short>(port)});
        if (target.empty()) return;
        const std::string request =
            "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
        net::write(held.back(), net::buffer(request));
    };
    for (int i = 0; i < 48; ++i) hold("/api/v1/registers/silent/status");
    for (int i = 0; i < 64; ++i) hold("");
    for (int i = 0; i < 64; ++i) hold("/api/v1/registers/r" + std::to_string(i % 4) + "/display");
    std::vector<double> beside;
    long beside_errors = 0;
    for (int i = 0; i < 100; ++i) {
        const auto t0 = Clock::now();
        auto r = c.get("/api/v1/registers/r0/status");
        beside.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        if (!r || r->status != 200) ++beside_errors;
    }
    std::sort(beside.begin(), beside.end());
    std::printf(
        "beside a silent register (48 waiting requests, 64 idle connections, 64 display "
        "streams): r0 status median %.2f ms, longest %.2f ms, %ld errors\n",
        beside[beside.size() / 2], beside.back(), beside_errors);
    errors += beside_errors;
    held.clear();

    service.stop();
    regs.clear();
    for (const auto& d : dirs) std::filesystem::remove_all(d);
    std::filesystem::remove_all(state);
    return errors.load() == 0 ? 0 : 1;
}

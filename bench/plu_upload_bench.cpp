// A confirmed article upload through veltra serve against the command line's
// `veltra tables put plu FILE --yes`, on the same ecrsim register: the
// service's job downloads the table once, compares, uploads, as the command
// does, so the two should take about as long.
//
// usage: plu_upload_bench VELTRA [ROUNDS] [ARTICLES]
// Writes a CSV of ARTICLES articles (default 20000), loads it once, then
// times ROUNDS (default 5) uploads each way, each renaming one article so
// that every upload changes the table. Prints each way's median, and the
// API's over the command line's.
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "figures.hpp"
#include "http.hpp"
#include "http_client.hpp"
#include "served_program.hpp"
#include "simulator.hpp"

namespace {

namespace http = veltra::http;
using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// Articles 1..n in departments 1 to 8, article `renamed` under another name
// each round. Columns as `tables get plu` writes them.
std::string plu_csv(int n, int round) {
    std::ostringstream csv;
    csv << "id_plu;descr;id_reparto;var_prezzo;zero_si;prezzo;codice_ean\n";
    for (int id = 1; id <= n; ++id) {
        csv << id << ";ARTICOLO " << id;
        if (id == 1) csv << " R" << round;
        csv << ";" << (id % 8) + 1 << ";0;0;" << 100 + id % 5000 << ";\n";
    }
    return csv.str();
}

void write_text(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary);
    f << text;
}

// The command line, as a user runs it: its own process, exit status 0.
bool cli_put(const std::string& veltra, const std::string& csv, bool allow_reset) {
    const std::string cmd = "'" + veltra + "' --host 127.0.0.1 --quiet tables put plu '" + csv +
                            "' --yes" + (allow_reset ? " --allow-reset" : "") + " >/dev/null";
    const int rc = std::system(cmd.c_str());
    return rc != -1 && WIFEXITED(rc) && WEXITSTATUS(rc) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: plu_upload_bench VELTRA [ROUNDS] [ARTICLES]\n");
        return 2;
    }
    const std::string veltra = std::filesystem::absolute(argv[1]).string();
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const int articles = argc > 3 ? std::clamp(std::atoi(argv[3]), 1, 100000) : 20000;
    const std::string dir = "/tmp/plu-upload-bench-" + std::to_string(getpid());
    std::filesystem::create_directories(dir);

    ecrsim::Options o;
    o.address = "127.0.0.1";
    o.state_dir = dir + "/register";
    o.record = false;
    ecrsim::Register reg(o);
    setenv("ECR_TFTP_PORT", std::to_string(reg.tftp_port()).c_str(), 1);
    setenv("ECR_LINE_PORT", std::to_string(reg.line_port()).c_str(), 1);

    // The articles loaded once: later uploads name every record that is not
    // a default one, so nothing is reset.
    const std::string csv = dir + "/plu.csv";
    write_text(csv, plu_csv(articles, 0));
    std::printf("articles: %d, CSV %zu bytes\n", articles,
                static_cast<std::size_t>(std::filesystem::file_size(csv)));
    if (!cli_put(veltra, csv, true)) {
        std::fprintf(stderr, "the first upload failed\n");
        return 1;
    }

    std::vector<std::string> args = {"serve", "--listen", "127.0.0.1:0", "--register",
                                     "r0=127.0.0.1:" + std::to_string(reg.tftp_port()) + ":" +
                                         std::to_string(reg.line_port()) + ":" +
                                         std::to_string(reg.keyboard_port())};
    bench::ServedProgram service(veltra, args, dir);
    const int port = service.port();
    if (port == 0) {
        std::fprintf(stderr, "the service did not start\n");
        return 1;
    }
    http::Client c("127.0.0.1", port);
    c.set_timeout(std::chrono::seconds(300));
    c.get("/api/v1/registers/r0/status");  // the worker starts

    const http::Headers change = {{"X-Veltra-Request", "1"}};
    std::vector<double> cli, api;
    int failures = 0;
    for (int round = 1; round <= rounds; ++round) {
        // Alternated, so that neither way has the warmer register.
        write_text(csv, plu_csv(articles, 2 * round));
        auto t0 = Clock::now();
        if (!cli_put(veltra, csv, false)) ++failures;
        cli.push_back(ms_since(t0));

        const std::string body = plu_csv(articles, 2 * round + 1);
        t0 = Clock::now();
        auto r = c.put("/api/v1/registers/r0/tables/plu?confirm=1", body, "text/csv", change);
        api.push_back(ms_since(t0));
        if (!r || r->status != 200) {
            ++failures;
            std::fprintf(stderr, "API upload: %s\n", r ? r->body.c_str() : "no answer");
        }
    }
    std::printf("confirmed PLU upload, median of %d: command line %.0f ms, API %.0f ms\n", rounds,
                bench::median(cli), bench::median(api));
    std::printf("API / command line: %.3f (target at most 1.15); %d failed\n",
                bench::median(api) / bench::median(cli), failures);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return failures == 0 ? 0 : 1;
}

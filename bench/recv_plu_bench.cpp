// ecr_recv_plu_all end to end from ecrsim on loopback, and the share of it
// spent in the transfer of PLU.BIN alone (ecr_tftp_get of the same file).
// Usage: recv_plu_bench [runs]   Prints medians in seconds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "figures.hpp"
#include "frame/library_frame.hpp"
#include "net/resolve.hpp"
#include "net/tftp_client.hpp"
#include "simulator.hpp"
#include "sys/env.hpp"
#include "sys/module.hpp"
#include "veltra.h"

using bench::median;
using bench::seconds;

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 5;
    veltra::library_notify(veltra::sys::module_handle(), veltra::kProcessAttach);
    const auto dir = std::filesystem::temp_directory_path() / "veltra-recv-plu-bench";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir / "state");
    ecrsim::Options o;
    o.address = "127.0.0.1";
    o.state_dir = dir / "state";
    ecrsim::Register reg(o);
    veltra::sys::env_set("ECR_TFTP_PORT", std::to_string(reg.tftp_port()));
    veltra::sys::env_set("TEMP", dir.string());

    const std::string csv = (dir / "plu.csv").string();
    const std::string bin = (dir / "PLU.BIN").string();
    std::uint32_t addr = 0;
    veltra::ecr_resolve_host("127.0.0.1", addr);
    std::vector<double> whole, transfer;
    int rows = 0;
    for (int i = 0; i < runs; ++i) {
        whole.push_back(seconds([&] { rows = ecr_recv_plu_all("127.0.0.1", csv.c_str()); }));
        transfer.push_back(seconds([&] { veltra::ecr_tftp_get(addr, bin.c_str()); }));
    }
    const double w = median(whole), t = median(transfer);
    std::printf(
        "ecr_recv_plu_all: %d rows, median %.3f s; PLU.BIN transfer alone %.3f s (%.0f%%)\n", rows,
        w, t, 100.0 * t / w);
    std::filesystem::remove_all(dir);
    return rows == 100000 ? 0 : 1;
}

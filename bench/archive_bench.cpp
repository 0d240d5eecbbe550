// A backup of the demo's register (ecrsim seeded as `veltra demo` seeds it:
// 100000 articles, named departments, sales) kept in the service's archive
// store: the archive's size plain and compressed, and the time of the save
// beside the time keep() adds (compress, read back whole, check, list).
// Usage: archive_bench [runs]   Prints medians; exits 1 when a target is missed
// (compressed at least 10 times smaller; keep() at most 10 % of the save).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "archives.hpp"
#include "figures.hpp"
#include "gzip_file.hpp"
#include "internal.hpp"
#include "journal.hpp"
#include "simulator.hpp"
#include "veltra.h"

namespace {

using bench::median;
using bench::seconds;

namespace fs = std::filesystem;

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const fs::path dir = fs::temp_directory_path() / "veltra-archive-bench";
    fs::remove_all(dir);
    fs::create_directories(dir / "register");
    ecrsim::Options o;
    o.address = "127.0.0.1";
    o.state_dir = dir / "register";
    o.layout = {ecrsim::Generation::Current, 'L'};
    o.seed = true;
    o.record = false;
    ecrsim::Register reg(o);
    veltra::sys::env_set("ECR_TFTP_PORT", std::to_string(reg.tftp_port()));
    veltra::sys::env_set("TEMP", dir.string());

    using veltra::tool::serve::ArchiveInfo;
    veltra::tool::serve::Journal journal(dir / "state");
    veltra::tool::serve::ArchiveStore store(journal, dir / "state" / "archives");
    const std::string plain = (dir / "plain.dat").string();
    std::vector<double> save, keep, level6;
    ArchiveInfo last;
    for (int i = 0; i < runs; ++i) {
        std::int32_t result = 0;
        save.push_back(seconds([&] { result = ecr_dati_save(plain.c_str(), "127.0.0.1"); }));
        if (result != 0) {
            std::fprintf(stderr, "ecr_dati_save: %d\n", static_cast<int>(result));
            return 1;
        }
        keep.push_back(seconds(
            [&] { last = store.keep("demo", plain, "bench", 1'800'000'000'000LL + i * 1000LL); }));
        if (!last.good) {
            std::fprintf(stderr, "keep: %s\n", last.reason.c_str());
            return 1;
        }
        // zlib's default level, for comparison.
        level6.push_back(seconds([&] { veltra::tool::gzip_file(plain, dir / "level6.gz", 6); }));
    }
    const double s = median(save), k = median(keep), g = median(level6);
    const double ratio = static_cast<double>(last.plain_size) / static_cast<double>(last.size);
    std::printf("archive: %lld bytes plain, %lld bytes compressed (%.1fx smaller)\n",
                static_cast<long long>(last.plain_size), static_cast<long long>(last.size), ratio);
    std::printf("at zlib's default level 6: %lld bytes, compressing alone %.3f s\n",
                static_cast<long long>(fs::file_size(dir / "level6.gz")), g);
    std::printf(
        "median of %d: save %.3f s, keep %.3f s (level %d, compress and check): "
        "save+keep is %.1f %% more than the save\n",
        runs, s, k, veltra::tool::serve::ArchiveStore::kLevel, 100.0 * k / s);
    fs::remove_all(dir);
    return ratio >= 10.0 && k <= 0.10 * s ? 0 : 1;
}

// Table conversions without the network, for the benchmarks:
//   tables_bench make-plu PATH          a 100,000-record PLU.BIN of varied records
//   tables_bench make-csv PATH          a 100,000-line article CSV
//   tables_bench conv PLU.BIN OUT.csv   ecr_conv_plu_csv, all records
//   tables_bench build IN.csv PLU.BIN   the table build of ecr_send_plu
// Prints the seconds the operation took.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "frame/library_frame.hpp"
#include "sys/module.hpp"
#include "tables/table_upload.hpp"
#include "veltra.h"

namespace {

int make_plu(const char* path) {
    std::FILE* f = std::fopen(path, "wb");
    if (f == nullptr) return 1;
    std::mt19937 rng(42);
    std::vector<unsigned char> rec(64);
    for (int n = 1; n <= 100000; ++n) {
        for (auto& b : rec) b = static_cast<unsigned char>(rng());
        const std::string name = "ARTICOLO " + std::to_string(n);
        std::memset(rec.data() + 1, 0, 25);
        std::memcpy(rec.data() + 1, name.data(), name.size());
        std::memset(rec.data() + 32, 0, 14);
        std::memcpy(rec.data() + 32, "8001234567890", 13);
        std::fwrite(rec.data(), 1, rec.size(), f);
    }
    return std::fclose(f) == 0 ? 0 : 1;
}

int make_csv(const char* path) {
    std::FILE* f = std::fopen(path, "w");
    if (f == nullptr) return 1;
    std::fprintf(f, "id_plu;descr;id_reparto;var_prezzo;zero_si;prezzo;codice_ean\n");
    for (int n = 1; n <= 100000; ++n) {
        std::fprintf(f, "%d;ARTICOLO %d;%d;%d;%d;%d;80012345%05d\n", n, n, n % 80 + 1, n % 2,
                     (n / 2) % 2, n * 10, n % 100000);
    }
    return std::fclose(f) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    veltra::library_notify(veltra::sys::module_handle(), veltra::kProcessAttach);
    const std::string mode = argv[1];
    if (mode == "make-plu") return make_plu(argv[2]);
    if (mode == "make-csv") return make_csv(argv[2]);
    if (argc < 4) return 2;
    const auto t0 = std::chrono::steady_clock::now();
    int result = 0;
    if (mode == "conv") {
        result = ecr_conv_plu_csv(argv[2], argv[3], 1);
    } else if (mode == "build") {
        result = veltra::build_table_from_csv(veltra::RebuiltTable::kPlu, argv[2], argv[3]);
    } else {
        return 2;
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%.4f %d\n", s, result);
    return result == 100000 ? 0 : 1;
}

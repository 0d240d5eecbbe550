// The sales file converter over any bytes: the input is the whole sales
// file, converted into a folder of its own and then cleared again.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "clock/oro_codec.hpp"
#include "sales/sales_file.hpp"
#include "sys/files.hpp"
#include "veltra.h"

namespace {

const std::string& work_dir() {
    static const std::string dir = [] {
        char pattern[] = "/tmp/veltra-fuzz-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        if (made == nullptr) std::abort();
        return std::string(made);
    }();
    return dir;
}

bool exists(const std::string& path) {
    return veltra::sys::file_size(path.c_str()) >= 0;
}

std::uint32_t le32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t{p[3]} << 24);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string sales = work_dir() + "/VENDCORR.DAT";
    std::FILE* f = std::fopen(sales.c_str(), "wb");
    if (f == nullptr) return 0;
    const bool written = std::fwrite(data, 1, size, f) == size;
    if (std::fclose(f) != 0 || !written) return 0;

    const std::int32_t result = veltra::ecr_conv_venduto(sales.c_str(), work_dir().c_str());
    // The sales file goes in every case; the result is one of three.
    if (exists(sales)) std::abort();
    if (result != 0 && result != -1 && result != ERR_INVALID_FILESIZE) std::abort();

    const auto csv = veltra::sys::list_dir(work_dir().c_str(), veltra::kSalesCsvPattern);
    if (result == ERR_INVALID_FILESIZE && !csv.empty()) std::abort();  // nothing of a misfit
    if (result == 0) {
        // A converted day has exactly the files of the kinds it counts.
        char ddmmyy[veltra::kOroDdmmyySize];
        veltra::oro_to_ddmmyy(le32(data), ddmmyy);
        const bool rep = data[27] != 0, plu = le32(data + 28) != 0;
        if (exists(work_dir() + "/VEND_REP_" + ddmmyy + ".CSV") != rep) std::abort();
        if (exists(work_dir() + "/VEND_PLU_" + ddmmyy + ".CSV") != plu) std::abort();
        if (csv.size() != std::size_t{rep} + std::size_t{plu}) std::abort();
    }
    veltra::sales_csv_cleanup(work_dir().c_str());
    if (!veltra::sys::list_dir(work_dir().c_str(), "*.CSV").empty()) std::abort();
    return 0;
}

// The table and invoice converters over any records: the first byte picks
// the table and the export mode, the rest fills the table's first records
// (the others stay zero) of a file of the exact size, converted to CSV.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "fuzz_work_dir.hpp"
#include "tables/csv_output.hpp"
#include "tables/csv_rows.hpp"
#include "tables/invoices.hpp"
#include "tables/table_download.hpp"
#include "tables/table_formats.hpp"

namespace {

using veltra::fuzz::work_dir;

bool write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned pick = data[0];
    const std::span<const std::uint8_t> body(data + 1, size - 1);
    // PLU.BIN (6,400,000 bytes) is too large to write per run: its rows go
    // through the row writer alone, record by record.
    const unsigned kind = pick % 4;
    const std::int32_t all = (pick >> 2) & 1;
    if (kind == 3) {
        const std::string path = work_dir() + "/plu.csv";
        veltra::CsvOutput out(path.c_str());
        if (!out) return 0;
        const std::size_t rs = veltra::kPlu.record_size;
        for (std::size_t at = 0; at + rs <= body.size(); at += rs)
            veltra::csv_plu_row(out, static_cast<int>(at / rs) + 1, body.subspan(at, rs), false,
                                true);
        return 0;
    }
    const veltra::TableFormat& format = kind == 0   ? veltra::kReparti
                                        : kind == 1 ? veltra::kClienti
                                                    : veltra::kFatture;
    std::vector<std::uint8_t> table(static_cast<std::size_t>(format.file_size()), 0);
    std::copy_n(body.begin(), std::min(body.size(), table.size()), table.begin());
    const std::string bin = work_dir() + "/" + format.file;
    const std::string csv = work_dir() + "/out.csv";
    if (!write_file(bin, table)) return 0;
    std::int32_t rows = 0;
    if (kind == 0)
        rows = veltra::convert_table_csv(veltra::TableCsv::kReparti, bin.c_str(), csv.c_str(), all);
    if (kind == 1)
        rows = veltra::convert_table_csv(veltra::TableCsv::kClienti, bin.c_str(), csv.c_str(), all);
    if (kind == 2) rows = veltra::convert_fatture_csv(bin.c_str(), csv.c_str());
    // A table of the right size always converts: no failure, at most one
    // row per record.
    if (rows < 0 || static_cast<std::size_t>(rows) > format.records) std::abort();
    std::remove(csv.c_str());
    return 0;
}

// The sales file converter and the clearing of a folder's sales CSV files.
#include "sales/sales_file.hpp"

#include <array>

#include "clock/oro_codec.hpp"
#include "frame/paths.hpp"
#include "frame/trace.hpp"
#include "sys/files.hpp"
#include "tables/csv_output.hpp"
#include "tables/csv_rows.hpp"
#include "tables/table_files.hpp"
#include "tables/table_formats.hpp"
#include "veltra.h"

namespace veltra {
namespace {

using Record = std::span<const std::uint8_t>;

struct Section {
    const char* prefix;  // of the CSV name
    std::uint32_t count;
    std::uint32_t blocks;
    std::size_t first_block;  // 512-byte block index in the file, the header being 0
    bool (*header)(CsvOutput&);
    bool (*row)(CsvOutput&, Record);
};

bool rep_header(CsvOutput& out) {
    return csv_reparto_header(out, false, false) && csv_iva_header(out, true, false) &&
           csv_totali_rep_header(out, true, true);
}

bool rep_row(CsvOutput& out, Record r) {
    using namespace vend_rep;
    return csv_reparto_row(out, get_i32(r, kId), r.subspan(kReparto, kReparti.record_size), false,
                           false) &&
           csv_iva_row(out, r.subspan(kIva, kCsvIvaBytes), true, false) &&
           csv_totali_rep_row(out, r.subspan(kTotali, kCsvTotaliBytes), true, true);
}

bool plu_header(CsvOutput& out) {
    return csv_plu_header(out, false, false) && csv_iva_header(out, true, false) &&
           csv_totali_plu_header(out, true, true);
}

bool plu_row(CsvOutput& out, Record r) {
    using namespace vend_plu;
    return csv_plu_row(out, get_i32(r, kId), r.subspan(kArticolo, veltra::kPlu.record_size), false,
                       false) &&
           csv_iva_row(out, r.subspan(kIva, kCsvIvaBytes), true, false) &&
           csv_totali_plu_row(out, r.subspan(kTotali, kCsvTotaliBytes), true, true);
}

// A header fits its file when both sections are whole blocks that lie inside
// the file and hold the records counted: rows are never read from past the
// file's end or from another section.
bool header_fits(std::int64_t size_bin, std::uint32_t num_rep, std::uint32_t num_plu,
                 std::uint32_t size_rep, std::uint32_t size_plu) {
    using namespace vend;
    if (size_rep % kBlockSize != 0 || size_plu % kBlockSize != 0) return false;
    if (std::uint64_t{num_rep} * kRecordSize > size_rep) return false;
    if (std::uint64_t{num_plu} * kRecordSize > size_plu) return false;
    return size_bin >= 0 &&
           kHeaderSize + std::uint64_t{size_rep} + size_plu <= static_cast<std::uint64_t>(size_bin);
}

std::int32_t write_section(TableFile& sales, const Section& s, const char* dirname,
                           const char* ddmmyy) {
    using namespace vend;
    CsvOutput out(sales_csv_path(dirname, std::string(s.prefix) + ddmmyy + ".CSV").c_str());
    if (!out || !s.header(out)) return -1;
    std::array<std::uint8_t, kBlockSize> block{};
    std::uint32_t remaining = s.count;
    for (std::uint32_t b = 0; b < s.blocks && remaining > 0; ++b) {
        if (sales.read_rec(s.first_block + b, block) != 0) return ERR_INVALID_FILESIZE;
        const std::uint32_t n = remaining < kRecordsPerBlock ? remaining : kRecordsPerBlock;
        for (std::uint32_t i = 0; i < n; ++i) {
            if (!s.row(out, Record(block).subspan(i * kRecordSize, kRecordSize))) return -1;
        }
        remaining -= n;
    }
    return out.keep() ? 0 : -1;
}

std::int32_t convert(const char* pathname, const char* dirname, VendConversion& done) {
    using namespace vend;
    const std::int32_t size_bin = ecr_file_size(pathname);
    TableFile sales = table_open(pathname);
    if (!sales) return -1;
    std::array<std::uint8_t, kHeaderSize> header{};
    // Shorter than a header: nothing to show in the info line either.
    if (sales.read_rec(0, header) != 0) return ERR_INVALID_FILESIZE;

    done.date = get_u32(header, kDate);
    char ddmmyy[kOroDdmmyySize];
    oro_to_ddmmyy(done.date, ddmmyy);
    const std::uint32_t num_rep = header[kNumRep];
    const std::uint32_t num_plu = get_u32(header, kNumPlu);
    const std::uint32_t size_rep = get_u32(header, kSizeRep);
    const std::uint32_t size_plu = get_u32(header, kSizePlu);
    ecr_trace(
        "%s ecr_conv_venduto -- info: pathname='%s' size_bin='%d' date='%s' num_rep='%d' "
        "num_plu='%d' size_rep='%d' size_plu='%d'\n",
        ecr_trace_time(), pathname, static_cast<int>(size_bin), ddmmyy, static_cast<int>(num_rep),
        static_cast<int>(num_plu), static_cast<int>(size_rep), static_cast<int>(size_plu));
    if (!header_fits(size_bin, num_rep, num_plu, size_rep, size_plu)) return ERR_INVALID_FILESIZE;

    const auto rep_blocks = static_cast<std::uint32_t>(size_rep / kBlockSize);
    const auto plu_blocks = static_cast<std::uint32_t>(size_plu / kBlockSize);
    const Section sections[] = {
        {"VEND_REP_", num_rep, rep_blocks, 1, rep_header, rep_row},
        {"VEND_PLU_", num_plu, plu_blocks, 1 + std::size_t{rep_blocks}, plu_header, plu_row},
    };
    for (const Section& s : sections) {
        if (s.count == 0) continue;  // a day without records of a kind has no CSV of it
        const std::int32_t result = write_section(sales, s, dirname, ddmmyy);
        if (result != 0) return result;
        ++done.files;
    }
    return 0;
}

}  // namespace

std::string sales_csv_path(const char* dirname, const std::string& name) {
    return path_in_dir(dirname != nullptr ? dirname : "", name);
}

std::int32_t ecr_conv_venduto(const char* pathname, const char* dirname) {
    VendConversion done;
    return ecr_conv_venduto(pathname, dirname, done);
}

std::int32_t ecr_conv_venduto(const char* pathname, const char* dirname, VendConversion& done) {
    done = VendConversion{};
    const std::int32_t result = convert(pathname, dirname, done);
    sys::remove_file(pathname);
    return result;
}

void sales_csv_cleanup(const char* dirname) {
    const std::string dir = dirname != nullptr && *dirname != '\0' ? dirname : ".";
    for (const sys::DirEntry& e : sys::list_dir(dir.c_str(), kSalesCsvPattern)) {
        if (!e.directory) sys::remove_file(sales_csv_path(dir.c_str(), e.name).c_str());
    }
}

}  // namespace veltra

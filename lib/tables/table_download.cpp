// Table download to CSV: the six ecr_recv_* operations and the three
// ecr_conv_*_csv converters live here.
#include "tables/table_download.hpp"

#include <array>
#include <string>

#include "cmd/setup_mode.hpp"
#include "frame/export_call.hpp"
#include "frame/paths.hpp"
#include "frame/result_codes.hpp"
#include "frame/trace.hpp"
#include "sys/files.hpp"
#include "tables/csv_output.hpp"
#include "tables/csv_rows.hpp"
#include "tables/table_files.hpp"
#include "tables/table_formats.hpp"
#include "veltra.h"

namespace veltra {
namespace {

struct CsvKind {
    const char* recv_name;  // in the download's trace lines
    const char* conv_name;  // in the converter's trace lines
    TableFormat format;
};

const CsvKind& kind_of(TableCsv kind) {
    static const CsvKind kKinds[] = {
        {"ecr_recv_reparti", "ecr_conv_reparti_csv", kReparti},
        {"ecr_recv_plu", "ecr_conv_plu_csv", kPlu},
        {"ecr_recv_clienti", "ecr_conv_clienti_csv", kClienti},
    };
    return kKinds[static_cast<int>(kind)];
}

bool write_header(TableCsv kind, CsvOutput& out) {
    switch (kind) {
        case TableCsv::kReparti:
            return csv_reparto_header(out, false, true);
        case TableCsv::kPlu:
            return csv_plu_header(out, false, true);
        case TableCsv::kClienti:
            return csv_cliente_header(out);
    }
    return false;
}

// Customers without a VAT number are never exported.
bool qualifies(TableCsv kind, std::span<const std::uint8_t> rec, std::int32_t all) {
    const bool selected = all != 0 || rec[kChangeMark] != 0;
    if (kind != TableCsv::kClienti) return selected;
    return selected && rec[cliente::kPartitaIva] != 0;
}

bool write_row(TableCsv kind, CsvOutput& out, int number, std::span<const std::uint8_t> rec) {
    switch (kind) {
        case TableCsv::kReparti:
            return csv_reparto_row(out, number, rec, false, true);
        case TableCsv::kPlu:
            return csv_plu_row(out, number, rec, false, true);
        case TableCsv::kClienti:
            return csv_cliente_row(out, number, rec);
    }
    return false;
}

void trace_conv_begin(TableCsv kind, const char* bin, const char* csv, std::int32_t all) noexcept {
    ecr_trace("%s %s -- begin: filename_bin='%s' filename_csv='%s' all='%d'\n", ecr_trace_time(),
              kind_of(kind).conv_name, trace_text(bin), trace_text(csv), static_cast<int>(all));
}

void trace_recv_begin(TableCsv kind, const char* hostname, const char* filename,
                      std::int32_t all) noexcept {
    ecr_trace("%s %s -- begin: hostname='%s' filename='%s' all='%d'\n", ecr_trace_time(),
              kind_of(kind).recv_name, trace_text(hostname), trace_text(filename),
              static_cast<int>(all));
}

// The converter called inside a download writes its own pair of trace
// lines, as the exported one does.
std::int32_t convert_exported(TableCsv kind, const char* bin, const char* csv, std::int32_t all) {
    return export_call(
        ERR_FILE_CREATION, [&]() noexcept { trace_conv_begin(kind, bin, csv, all); },
        [&] { return convert_table_csv(kind, trace_text(bin), trace_text(csv), all); },
        [&](std::int32_t result) noexcept { trace_end_numrec(kind_of(kind).conv_name, result); });
}

std::int32_t download(TableCsv kind, const char* hostname, const char* filename, std::int32_t all) {
    const std::string table = ecr_temp_path(kind_of(kind).format.file);
    // The table is fetched into the temporary directory: a CSV of that same
    // path would be deleted by the fetch and written over the table.
    if (same_file(filename, table.c_str())) return ECR_ERR_PARAMETRI;
    // A failed download leaves no CSV of an earlier call behind.
    sys::remove_file(filename);
    sys::remove_file(table.c_str());
    std::int32_t keep = 1;
    std::int32_t result = ecr_get_table(hostname, table.c_str(), &keep);
    if (result == 0) result = convert_exported(kind, table.c_str(), filename, all);
    sys::remove_file(table.c_str());
    return result;
}

}  // namespace

std::int32_t convert_table_csv(TableCsv kind, const char* filename_bin, const char* filename_csv,
                               std::int32_t all) {
    const TableFormat& format = kind_of(kind).format;
    // Written onto itself, the table would be gone before it is read.
    if (same_file(filename_bin, filename_csv)) return ECR_ERR_PARAMETRI;
    const std::int32_t size = ecr_file_size(filename_bin);
    if (size == -1) return ERR_FILE_NOT_FOUND;
    if (size != format.file_size()) return ERR_INVALID_FILESIZE;

    CsvOutput out(filename_csv);
    if (!out) return ERR_FILE_CREATION;
    // A table that passed the size check but cannot be opened: no CSV.
    TableFile table = table_open(filename_bin);
    if (!table) return ERR_FILE_NOT_FOUND;
    if (!write_header(kind, out)) return ERR_FILE_CREATION;

    std::array<std::uint8_t, kMaxRecordSize> buf{};
    const std::span<std::uint8_t> rec(buf.data(), format.record_size);
    std::int32_t rows = 0;
    for (std::size_t n = 1; n <= format.records; ++n) {
        if (table.read_rec(n - 1, rec) != 0) return ERR_FILE_NOT_FOUND;
        if (!qualifies(kind, rec, all)) continue;
        if (!write_row(kind, out, static_cast<int>(n), rec)) return ERR_FILE_CREATION;
        ++rows;
    }
    table.close();
    if (rows == 0) return 0;  // the empty CSV goes with `out`
    return out.keep() ? rows : ERR_FILE_CREATION;
}

}  // namespace veltra

using namespace veltra;

extern "C" ECR_API int32_t ECR_CALL ecr_recv_reparti_all(const char* hostname,
                                                         const char* filename) {
    return export_call(
        ERR_FILE_CREATION,
        [&]() noexcept { trace_recv_begin(TableCsv::kReparti, hostname, filename, 1); },
        [&] { return download(TableCsv::kReparti, hostname, trace_text(filename), 1); },
        [](std::int32_t result) noexcept { trace_end_numrec("ecr_recv_reparti", result); });
}

extern "C" ECR_API int32_t ECR_CALL ecr_recv_reparti_mod(const char* hostname,
                                                         const char* filename) {
    return export_call(
        ERR_FILE_CREATION,
        [&]() noexcept { trace_recv_begin(TableCsv::kReparti, hostname, filename, 0); },
        [&] { return download(TableCsv::kReparti, hostname, trace_text(filename), 0); },
        [](std::int32_t result) noexcept { trace_end_numrec("ecr_recv_reparti", result); });
}

extern "C" ECR_API int32_t ECR_CALL ecr_recv_plu_all(const char* hostname, const char* filename) {
    return export_call(
        ERR_FILE_CREATION,
        [&]() noexcept { trace_recv_begin(TableCsv::kPlu, hostname, filename, 1); },
        [&] { return download(TableCsv::kPlu, hostname, trace_text(filename), 1); },
        [](std::int32_t result) noexcept { trace_end_numrec("ecr_recv_plu", result); });
}

extern "C" ECR_API int32_t ECR_CALL ecr_recv_plu_mod(const char* hostname, const char* filename) {
    return export_call(
        ERR_FILE_CREATION,
        [&]() noexcept { trace_recv_begin(TableCsv::kPlu, hostname, filename, 0); },
        [&] { return download(TableCsv::kPlu, hostname, trace_text(filename), 0); },
        [](std::int32_t result) noexcept { trace_end_numrec("ecr_recv_plu", result); });
}

extern "C" ECR_API int32_t ECR_CALL ecr_recv_clienti_all(const char* hostname,
                                                         const char* filename) {
    return export_call(
        ERR_FILE_CREATION,
        [&]() noexcept { trace_recv_begin(TableCsv::kClienti, hostname, filename, 1); },
        [&] { return download(TableCsv::kClienti, hostname, trace_text(filename), 1); },
        [](std::int32_t result) noexcept { trace_end_numrec("ecr_recv_clienti", result); });
}

extern "C" ECR_API int32_t ECR_CALL ecr_recv_clienti_mod(const char* hostname,
                                                         const char* filename) {
    return export_call(
        ERR_FILE_CREATION,
        [&]() noexcept { trace_recv_begin(TableCsv::kClienti, hostname, filename, 0); },
        [&] { return download(TableCsv::kClienti, hostname, trace_text(filename), 0); },
        [](std::int32_t result) noexcept { trace_end_numrec("ecr_recv_clienti", result); });
}

extern "C" ECR_API int32_t ECR_CALL ecr_conv_reparti_csv(const char* filename_bin,
                                                         const char* filename_csv, int32_t all) {
    return export_call(
        ERR_FILE_CREATION,
        [&]() noexcept { trace_conv_begin(TableCsv::kReparti, filename_bin, filename_csv, all); },
        [&] {
            return convert_table_csv(TableCsv::kReparti, trace_text(filename_bin),
                                     trace_text(filename_csv), all);
        },
        [](std::int32_t result) noexcept { trace_end_numrec("ecr_conv_reparti_csv", result); });
}

extern "C" ECR_API int32_t ECR_CALL ecr_conv_plu_csv(const char* filename_bin,
                                                     const char* filename_csv, int32_t all) {
    return export_call(
        ERR_FILE_CREATION,
        [&]() noexcept { trace_conv_begin(TableCsv::kPlu, filename_bin, filename_csv, all); },
        [&] {
            return convert_table_csv(TableCsv::kPlu, trace_text(filename_bin),
                                     trace_text(filename_csv), all);
        },
        [](std::int32_t result) noexcept { trace_end_numrec("ecr_conv_plu_csv", result); });
}

extern "C" ECR_API int32_t ECR_CALL ecr_conv_clienti_csv(const char* filename_bin,
                                                         const char* filename_csv, int32_t all) {
    return export_call(
        ERR_FILE_CREATION,
        [&]() noexcept { trace_conv_begin(TableCsv::kClienti, filename_bin, filename_csv, all); },
        [&] {
            return convert_table_csv(TableCsv::kClienti, trace_text(filename_bin),
                                     trace_text(filename_csv), all);
        },
        [](std::int32_t result) noexcept { trace_end_numrec("ecr_conv_clienti_csv", result); });
}

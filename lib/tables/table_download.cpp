// Table download to CSV: the six ecr_recv_* operations and the three
// ecr_conv_*_csv converters live here.
#include "tables/table_download.hpp"

#include <array>
#include <string>

#include "cmd/setup_mode.hpp"
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

std::int32_t convert_traced(TableCsv kind, const char* bin, const char* csv, std::int32_t all) {
    const CsvKind& k = kind_of(kind);
    ecr_trace("%s %s -- begin: filename_bin='%s' filename_csv='%s' all='%d'\n", ecr_trace_time(),
              k.conv_name, trace_text(bin), trace_text(csv), static_cast<int>(all));
    std::int32_t result = ERR_FILE_CREATION;
    try {
        result = convert_table_csv(kind, trace_text(bin), trace_text(csv), all);
    } catch (...) {
    }
    char text[kResultTextSize];
    ecr_trace("%s %s -- end  : numrec='%s'\n", ecr_trace_time(), k.conv_name,
              ecr_err_name(result, text));
    return result;
}

std::int32_t download(TableCsv kind, const char* hostname, const char* filename, std::int32_t all) {
    const CsvKind& k = kind_of(kind);
    ecr_trace("%s %s -- begin: hostname='%s' filename='%s' all='%d'\n", ecr_trace_time(),
              k.recv_name, trace_text(hostname), trace_text(filename), static_cast<int>(all));
    std::int32_t result = ERR_FILE_CREATION;
    try {
        const std::string table = ecr_temp_path(k.format.file);
        // A failed download leaves no CSV of an earlier call behind.
        sys::remove_file(trace_text(filename));
        sys::remove_file(table.c_str());
        std::int32_t keep = 1;
        result = ecr_get_table(hostname, table.c_str(), &keep);
        if (result == 0) result = convert_traced(kind, table.c_str(), trace_text(filename), all);
        sys::remove_file(table.c_str());
    } catch (...) {
    }
    char text[kResultTextSize];
    ecr_trace("%s %s -- end  : numrec='%s'\n", ecr_trace_time(), k.recv_name,
              ecr_err_name(result, text));
    return result;
}

}  // namespace

std::int32_t convert_table_csv(TableCsv kind, const char* filename_bin, const char* filename_csv,
                               std::int32_t all) {
    const TableFormat& format = kind_of(kind).format;
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

#define ECR_DOWNLOAD(name, kind, all)                                                      \
    extern "C" ECR_API int32_t ECR_CALL name(const char* hostname, const char* filename) { \
        return download(kind, hostname, filename, all);                                    \
    }
ECR_DOWNLOAD(ecr_recv_reparti_all, TableCsv::kReparti, 1)
ECR_DOWNLOAD(ecr_recv_reparti_mod, TableCsv::kReparti, 0)
ECR_DOWNLOAD(ecr_recv_plu_all, TableCsv::kPlu, 1)
ECR_DOWNLOAD(ecr_recv_plu_mod, TableCsv::kPlu, 0)
ECR_DOWNLOAD(ecr_recv_clienti_all, TableCsv::kClienti, 1)
ECR_DOWNLOAD(ecr_recv_clienti_mod, TableCsv::kClienti, 0)
#undef ECR_DOWNLOAD

#define ECR_CONVERT(name, kind)                                                                  \
    extern "C" ECR_API int32_t ECR_CALL name(const char* filename_bin, const char* filename_csv, \
                                             int32_t all) {                                      \
        return convert_traced(kind, filename_bin, filename_csv, all);                            \
    }
ECR_CONVERT(ecr_conv_reparti_csv, TableCsv::kReparti)
ECR_CONVERT(ecr_conv_plu_csv, TableCsv::kPlu)
ECR_CONVERT(ecr_conv_clienti_csv, TableCsv::kClienti)
#undef ECR_CONVERT

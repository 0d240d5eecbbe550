// Table upload from CSV: ecr_send_reparti, ecr_send_plu and ecr_send_clienti
// live here. Departments and articles are rebuilt whole from default
// records; customers are merged into the register's current table.
#include "tables/table_upload.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "cmd/setup_mode.hpp"
#include "frame/export_call.hpp"
#include "frame/file_handle.hpp"
#include "frame/paths.hpp"
#include "frame/result_codes.hpp"
#include "frame/trace.hpp"
#include "sys/env.hpp"
#include "sys/files.hpp"
#include "tables/table_files.hpp"
#include "tables/table_formats.hpp"
#include "veltra.h"

namespace veltra {
namespace {

bool is_blank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

std::int32_t clamp(std::int32_t v, std::int32_t lo, std::int32_t hi) {
    return std::min(std::max(v, lo), hi);
}

void set_bit(std::uint8_t& byte, unsigned bit, bool on) {
    byte = static_cast<std::uint8_t>(on ? byte | (1u << bit) : byte & ~(1u << bit));
}

// Bits [shift, shift + 3) of byte take value.
void set_bits3(std::uint8_t& byte, unsigned shift, unsigned value) {
    byte = static_cast<std::uint8_t>((byte & ~(7u << shift)) | ((value & 7u) << shift));
}

}  // namespace

int CsvReader::read_fields(std::span<std::string_view> slots) {
    std::fill(slots.begin(), slots.end(), std::string_view());
    const bool trace_csv = sys::env_present("ECR_TRCCSV");
    char* line = line_.data();
    for (;;) {
        // Up to one character more than a line holds, so that a CR before
        // the line feed does not count against the limit.
        std::size_t len = 0;
        bool longer = false;
        bool any = false;
        int c;
        while ((c = std::getc(in_)) != EOF && c != '\n') {
            any = true;
            if (len < kLineMax + 1) {
                line[len++] = static_cast<char>(c);
            } else {
                longer = true;
            }
        }
        if (c == EOF && std::ferror(in_)) {
            failed_ = true;
            return -1;
        }
        if (c == EOF && !any) return -1;
        ++line_number_;
        // A file written on Windows keeps its CR on other systems.
        if (!longer && len > 0 && line[len - 1] == '\r') --len;
        if (len > kLineMax) {
            longer = true;
            len = kLineMax;
        }
        line[len] = '\0';
        if (longer) {
            if (trace_csv) {
                ecr_trace("csv -- linea='%s'\n", line);
                ecr_trace("csv -- count='%d'\n", 0);
            }
            return 0;
        }
        // Empty lines are skipped.
        if (line[0] != '\0') break;
    }
    if (trace_csv) ecr_trace("csv -- linea='%s'\n", line);
    int count = 0;
    std::string_view rest(line);
    for (;;) {
        const std::size_t sep = rest.find(';');
        const std::string_view piece = trim_right_blanks(rest.substr(0, sep));
        if (static_cast<std::size_t>(count) < slots.size()) slots[count] = piece;
        ++count;
        if (sep == std::string_view::npos) break;
        rest.remove_prefix(sep + 1);
    }
    if (trace_csv) {
        ecr_trace("csv -- count='%d'\n", count);
        const int stored = std::min<int>(count, static_cast<int>(slots.size()));
        for (int i = 0; i < stored; ++i) {
            const std::string text(slots[i]);
            ecr_trace("csv -- list [%2d]='%s'\n", i, text.c_str());
        }
    }
    return count;
}

bool csv_readable(std::FILE* in) {
    const int c = std::getc(in);
    if (c == EOF) return std::ferror(in) == 0;
    return std::ungetc(c, in) != EOF;
}

int csv_read_fields(CsvReader& reader, std::span<std::string_view> slots) {
    return reader.read_fields(slots);
}

std::int32_t csv_number(std::string_view field) {
    std::size_t i = 0;
    while (i < field.size() && is_blank(field[i])) ++i;
    bool negative = false;
    if (i < field.size() && (field[i] == '+' || field[i] == '-')) negative = field[i++] == '-';
    std::int64_t value = 0;
    constexpr std::int64_t kLimit = std::int64_t{1} << 32;
    for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i) {
        value = std::min(value * 10 + (field[i] - '0'), kLimit);
    }
    if (negative) value = -value;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(
        value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

void apply_reparto_fields(std::span<const std::string_view> f, std::span<std::uint8_t> rec) {
    using namespace reparto;
    if (!f[1].empty()) text_to_field(f[1], rec.subspan(kDescr, kDescrWidth));
    if (!f[2].empty())
        set_bits3(rec[kFlags], 0, static_cast<unsigned>(clamp(csv_number(f[2]), 1, 8) - 1));
    if (!f[3].empty()) set_bit(rec[kFlags], 3, csv_number(f[3]) != 0);
    if (!f[4].empty()) set_bit(rec[kFlags], 4, csv_number(f[4]) != 0);
    if (!f[5].empty())
        set_bits3(rec[kFlags], 5, static_cast<unsigned>(clamp(csv_number(f[5]), 1, 8) - 1));
    if (!f[6].empty()) rec[kGruppo] = static_cast<std::uint8_t>(clamp(csv_number(f[6]), 1, 16) - 1);
    if (!f[7].empty()) put_i32(rec, kPrezzo, csv_number(f[7]));
    if (!f[8].empty()) put_i32(rec, kMinValore, csv_number(f[8]));
    if (!f[9].empty()) put_i32(rec, kMaxValore, csv_number(f[9]));
    if (!f[10].empty()) put_i32(rec, kValoreSconto, csv_number(f[10]));
    if (!f[11].empty()) set_bit(rec[kNonFiscale], 0, csv_number(f[11]) != 0);
}

void apply_plu_fields(std::span<const std::string_view> f, std::span<std::uint8_t> rec) {
    using namespace plu;
    if (!f[1].empty()) text_to_field(f[1], rec.subspan(kDescr, kDescrWidth));
    if (!f[2].empty())
        rec[kReparto] = static_cast<std::uint8_t>(clamp(csv_number(f[2]), 1, 80) - 1);
    if (!f[3].empty()) set_bit(rec[kFlags], 0, csv_number(f[3]) != 0);
    if (!f[4].empty()) set_bit(rec[kFlags], 1, csv_number(f[4]) != 0);
    if (!f[5].empty()) put_i32(rec, kPrezzo, csv_number(f[5]));
    if (!f[6].empty()) text_to_field(f[6], rec.subspan(kEan, kEanWidth));
}

void apply_cliente_fields(std::span<const std::string_view> f, std::span<std::uint8_t> rec) {
    using namespace cliente;
    struct Field {
        std::size_t at, width;
    };
    static constexpr Field kTexts[] = {{kRagioneSociale, kRagioneSocialeWidth},
                                       {kIndirizzo, kIndirizzoWidth},
                                       {kCitta, kCittaWidth},
                                       {kPartitaIva, kPartitaIvaWidth},
                                       {kCodiceFiscale, kCodiceFiscaleWidth}};
    rec[kChangeMark] = 0;
    for (std::size_t i = 0; i < std::size(kTexts); ++i) {
        if (!f[i + 1].empty()) text_to_field(f[i + 1], rec.subspan(kTexts[i].at, kTexts[i].width));
    }
    // The kind follows from the stored texts.
    bool any = false;
    for (const Field& t : kTexts) any = any || rec[t.at] != 0;
    if (!any) {
        rec[kKind] = 0;
    } else {
        rec[kKind] = rec[kRagioneSociale] != 0 && rec[kPartitaIva] != 0 ? 1 : 2;
    }
}

namespace {

struct UploadKind {
    const char* name;  // in the trace lines
    TableFormat format;
    std::size_t fields;
    void (*filler)(std::size_t, std::span<std::uint8_t>);
    void (*apply)(std::span<const std::string_view>, std::span<std::uint8_t>);
};

constexpr UploadKind kUploadReparti{"ecr_send_reparti", kReparti, 12, reparto_default,
                                    apply_reparto_fields};
constexpr UploadKind kUploadPlu{"ecr_send_plu", kPlu, 7, plu_default, apply_plu_fields};
constexpr UploadKind kUploadClienti{"ecr_send_clienti", kClienti, 6, nullptr, apply_cliente_fields};

bool holds_digit(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Why a line read as count fields does not apply, or "" when it does.
std::string line_fault(const UploadKind& kind, int count,
                       std::span<const std::string_view> fields) {
    if (count == 0) {
        return "longer than " + std::to_string(CsvReader::kLineMax) + " characters";
    }
    if (static_cast<std::size_t>(count) != kind.fields) {
        return std::to_string(count) + (count == 1 ? " field" : " fields") + " separated by ';', " +
               std::to_string(kind.fields) + " expected";
    }
    const std::int32_t id = csv_number(fields[0]);
    if (id < 1 || static_cast<std::size_t>(id) > kind.format.records) {
        return "record number '" + std::string(fields[0]) + "' not from 1 to " +
               std::to_string(kind.format.records);
    }
    return "";
}

void note_bad(CsvLineReport* report, std::int64_t line, std::string reason) {
    if (report == nullptr) return;
    ++report->bad_count;
    if (report->bad.size() < CsvLineReport::kListed)
        report->bad.push_back({line, std::move(reason)});
}

// Applies every well-formed line of the CSV to the table: the lines applied.
std::int32_t apply_lines(const UploadKind& kind, CsvReader& reader, TableFile& table,
                         CsvLineReport* report) {
    std::array<std::string_view, 12> slots;
    const std::span<std::string_view> fields(slots.data(), kind.fields);
    std::array<std::uint8_t, kMaxRecordSize> buf{};
    const std::span<std::uint8_t> rec(buf.data(), kind.format.record_size);
    if (report != nullptr) *report = CsvLineReport{{}, 0, std::vector<bool>(kind.format.records)};
    std::int32_t applied = 0;
    bool first = true;
    for (int count; (count = reader.read_fields(fields)) != -1;) {
        const bool header = first && count > 0 && !holds_digit(fields[0]);
        first = false;
        if (std::string fault = line_fault(kind, count, fields); !fault.empty()) {
            if (!header) note_bad(report, reader.line_number(), std::move(fault));
            continue;
        }
        const std::size_t index = static_cast<std::size_t>(csv_number(fields[0])) - 1;
        bool written = table.read_rec(index, rec) == 0;
        if (written) {
            kind.apply(fields, rec);
            written = table.write_rec(index, rec) == 0;
        }
        if (!written) {
            note_bad(report, reader.line_number(), "the record could not be written");
            continue;
        }
        if (report != nullptr) report->named[index] = true;
        ++applied;
    }
    return applied;
}

void trace_begin(const UploadKind& kind, const char* hostname, const char* filename) noexcept {
    ecr_trace("%s %s -- begin: hostname='%s' filename='%s'\n", ecr_trace_time(), kind.name,
              trace_text(hostname), trace_text(filename));
}

// Departments and articles: the CSV describes the whole table.
std::int32_t build_rebuilt(const UploadKind& kind, const char* csv_path, const char* table_path,
                           CsvLineReport* report = nullptr) {
    File csv(std::fopen(csv_path, "r"));
    if (!csv || !csv_readable(csv.get())) return ERR_FILE_NOT_FOUND;
    TableFile table =
        table_create(table_path, kind.format.records, kind.format.record_size, kind.filler);
    if (!table) return ERR_FILE_CREATION;
    CsvReader reader(csv.get());
    std::int32_t result = apply_lines(kind, reader, table, report);
    if (!table.close()) result = ERR_FILE_CREATION;
    // A CSV that breaks off is not a shorter table: nothing is put.
    if (reader.failed()) result = ERR_FILE_NOT_FOUND;
    return result;
}

std::int32_t upload_rebuilt(const UploadKind& kind, const char* hostname, const char* filename) {
    const std::string path = ecr_temp_path(kind.format.file);
    std::int32_t result = build_rebuilt(kind, filename, path.c_str());
    // The put is made also when no line applied: the register gets the default table.
    if (result >= 0) {
        const std::int32_t put = ecr_put_table(hostname, path.c_str());
        if (put != 0) result = put;
    }
    sys::remove_file(path.c_str());
    return result;
}

// Customers: merged into the register's table, inside setup mode from the
// fetch to the put.
std::int32_t upload_merged(const UploadKind& kind, const char* hostname, const char* filename) {
    const std::string path = ecr_temp_path(kind.format.file);
    sys::remove_file(path.c_str());
    File csv(std::fopen(filename, "r"));
    if (!csv || !csv_readable(csv.get())) return ERR_FILE_NOT_FOUND;
    std::int32_t was_in_setup = 0;  // keep flag 0: stay in setup mode after the fetch
    std::int32_t result = ecr_get_table(hostname, path.c_str(), &was_in_setup);
    if (result != 0) {
        sys::remove_file(path.c_str());
        return result;
    }
    bool put_made = false;
    if (ecr_file_size(path.c_str()) != kind.format.file_size()) {
        result = ERR_INVALID_FILESIZE;
    } else if (TableFile table = table_open(path.c_str())) {
        CsvReader reader(csv.get());
        result = apply_lines(kind, reader, table, nullptr);
        if (!table.close()) result = ERR_FILE_CREATION;
        if (reader.failed()) result = ERR_FILE_NOT_FOUND;
        if (result > 0) {
            put_made = true;
            const std::int32_t put = ecr_put_table(hostname, path.c_str());
            if (put != 0) {
                result = put;  // the register stays in setup mode
            } else if (was_in_setup == 0) {
                ecr_setup_mode(hostname, false);
            }
        }
    } else {
        result = 0;
    }
    // Nothing was put: the register goes back to the mode it was found in.
    if (!put_made && was_in_setup == 0) ecr_setup_mode(hostname, false);
    sys::remove_file(path.c_str());
    return result;
}

}  // namespace

std::int32_t build_table_from_csv(RebuiltTable kind, const char* csv_path, const char* table_path,
                                  CsvLineReport* report) {
    return build_rebuilt(kind == RebuiltTable::kPlu ? kUploadPlu : kUploadReparti, csv_path,
                         table_path, report);
}

std::int32_t merge_clienti_csv(const char* csv_path, const char* table_path,
                               CsvLineReport* report) {
    File csv(std::fopen(csv_path, "r"));
    if (!csv || !csv_readable(csv.get())) return ERR_FILE_NOT_FOUND;
    TableFile table = table_open(table_path);
    if (!table) return ERR_FILE_NOT_FOUND;
    CsvReader reader(csv.get());
    std::int32_t result = apply_lines(kUploadClienti, reader, table, report);
    if (!table.close()) result = ERR_FILE_CREATION;
    if (reader.failed()) result = ERR_FILE_NOT_FOUND;
    return result;
}

}  // namespace veltra

using namespace veltra;

extern "C" ECR_API int32_t ECR_CALL ecr_send_reparti(const char* hostname, const char* filename) {
    return export_call(
        ERR_FILE_CREATION, [&]() noexcept { trace_begin(kUploadReparti, hostname, filename); },
        [&] { return upload_rebuilt(kUploadReparti, hostname, trace_text(filename)); },
        [](std::int32_t result) noexcept { trace_end_numrec(kUploadReparti.name, result); });
}

extern "C" ECR_API int32_t ECR_CALL ecr_send_plu(const char* hostname, const char* filename) {
    return export_call(
        ERR_FILE_CREATION, [&]() noexcept { trace_begin(kUploadPlu, hostname, filename); },
        [&] { return upload_rebuilt(kUploadPlu, hostname, trace_text(filename)); },
        [](std::int32_t result) noexcept { trace_end_numrec(kUploadPlu.name, result); });
}

extern "C" ECR_API int32_t ECR_CALL ecr_send_clienti(const char* hostname, const char* filename) {
    return export_call(
        ERR_FILE_CREATION, [&]() noexcept { trace_begin(kUploadClienti, hostname, filename); },
        [&] { return upload_merged(kUploadClienti, hostname, trace_text(filename)); },
        [](std::int32_t result) noexcept { trace_end_numrec(kUploadClienti.name, result); });
}

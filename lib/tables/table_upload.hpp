// Table upload from CSV: the line reader and the record builders.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string_view>

namespace veltra {

// Reads CSV lines into fields. A line holds at most kLineMax characters,
// not counting its line end (LF or CR LF). Longer lines are skipped whole
// (returned with 0 fields, traced like any line), so the rest of a long line
// can never be taken for a line of its own. A NUL byte ends the text of its
// line; the next line is read as usual.
class CsvReader {
public:
    static constexpr std::size_t kLineBuffer = 1024;
    static constexpr std::size_t kLineMax = kLineBuffer - 2;
    explicit CsvReader(std::FILE* in) : in_(in) {}

    // Fields of the next non-empty line into slots (trailing blanks removed;
    // slots beyond the fields empty; fields beyond the slots counted only):
    // the number of fields, or -1 at the end of the file or on a read error.
    int read_fields(std::span<std::string_view> slots);

    // Whether the file could not be read (as opposed to its end).
    bool failed() const { return failed_; }

private:
    std::FILE* in_;
    bool failed_ = false;
    std::array<char, kLineBuffer + 1> line_{};
};

// Whether a CSV file opened for reading can be read at all (a directory
// opens on some systems but cannot be read). Reads nothing away.
bool csv_readable(std::FILE* in);

int csv_read_fields(CsvReader& reader, std::span<std::string_view> slots);

// A field read as a decimal number: leading blanks, an optional sign,
// digits up to the first other character; no digits read 0; values beyond
// 32 bits are clamped to the 32-bit range.
std::int32_t csv_number(std::string_view field);

// Departments or articles: builds the whole table at table_path from
// default records and the CSV at csv_path, without sending it. Returns the
// number of lines applied, ERR_FILE_NOT_FOUND or ERR_FILE_CREATION.
enum class RebuiltTable { kReparti, kPlu };
std::int32_t build_table_from_csv(RebuiltTable kind, const char* csv_path, const char* table_path);

// Customers: merges the CSV at csv_path into the table at table_path, as
// ecr_send_clienti does with the register's table, without sending it.
// Returns the number of lines applied, ERR_FILE_NOT_FOUND (no CSV or no
// table) or ERR_FILE_CREATION.
std::int32_t merge_clienti_csv(const char* csv_path, const char* table_path);

// Stores the non-empty fields of a CSV line into a record; the id (field 0)
// is not stored. Empty fields leave the record's value unchanged.
void apply_reparto_fields(std::span<const std::string_view> f, std::span<std::uint8_t> rec);
void apply_plu_fields(std::span<const std::string_view> f, std::span<std::uint8_t> rec);
void apply_cliente_fields(std::span<const std::string_view> f, std::span<std::uint8_t> rec);

}  // namespace veltra

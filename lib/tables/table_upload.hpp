// Table upload from CSV: the line reader and the record builders.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

    // The number (from 1, empty lines counted) of the line read last.
    std::int64_t line_number() const { return line_number_; }

private:
    std::FILE* in_;
    bool failed_ = false;
    std::int64_t line_number_ = 0;
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

// How the lines of a CSV fare in an upload. A line that is not empty and
// does not apply is bad, but for a first line whose first field holds no
// digit (a header). A register text holding ";" makes its row one field
// too long, so such a row fed back is bad too.
struct CsvLineReport {
    static constexpr std::size_t kListed = 100;  // bad lines listed; all are counted
    struct BadLine {
        std::int64_t line;
        std::string reason;
    };
    std::vector<BadLine> bad;  // the first kListed, in order
    std::size_t bad_count = 0;
    std::vector<bool> named;  // per record: a line applied to it
};

// Departments or articles: builds the whole table at table_path from
// default records and the CSV at csv_path, without sending it. Returns the
// number of lines applied, ERR_FILE_NOT_FOUND or ERR_FILE_CREATION; fills
// report when given.
enum class RebuiltTable { kReparti, kPlu };
std::int32_t build_table_from_csv(RebuiltTable kind, const char* csv_path, const char* table_path,
                                  CsvLineReport* report = nullptr);

// Customers: merges the CSV at csv_path into the table at table_path, as
// ecr_send_clienti does with the register's table, without sending it.
// Returns the number of lines applied, ERR_FILE_NOT_FOUND (no CSV or no
// table) or ERR_FILE_CREATION; fills report when given.
std::int32_t merge_clienti_csv(const char* csv_path, const char* table_path,
                               CsvLineReport* report = nullptr);

// Stores the non-empty fields of a CSV line into a record; the id (field 0)
// is not stored. Empty fields leave the record's value unchanged.
void apply_reparto_fields(std::span<const std::string_view> f, std::span<std::uint8_t> rec);
void apply_plu_fields(std::span<const std::string_view> f, std::span<std::uint8_t> rec);
void apply_cliente_fields(std::span<const std::string_view> f, std::span<std::uint8_t> rec);

}  // namespace veltra

// What a table upload would change: the CSV applied the way the library
// applies it (departments and articles rebuilt from default records,
// customers merged into the current table), compared record by record with
// the register's current table.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "internal.hpp"

namespace veltra::tool {

struct TableChanges {
    std::int32_t applied = 0;  // CSV lines the upload applies
    std::size_t changed = 0;   // records that get other values
    std::size_t reset = 0;     // records that go back to their defaults
    std::size_t unchanged = 0;
    std::vector<std::size_t> reset_records;  // their numbers, from 1
    std::vector<std::string> reset_names;    // the current texts of the first kListed
    CsvLineReport lines;                     // the lines that do not apply
};

// Compares whole tables of records of record_size bytes. The change mark
// (byte 0) does not count. A record that differs, is not `named` (by a line
// of the CSV) and equals its default in `defaults` counts as reset: a line
// may set a record to its default values on purpose. With `defaults` empty
// nothing is reset.
TableChanges compare_tables(std::span<const std::uint8_t> current,
                            std::span<const std::uint8_t> uploaded,
                            std::span<const std::uint8_t> defaults, std::size_t record_size,
                            const std::vector<bool>& named = {});

enum class UploadRule { kRebuilt, kMerged };

// The file in the work directory that holds the table an upload makes.
inline constexpr const char* kBuiltTableFile = "upload.bin";

// Builds in work_dir (as kBuiltTableFile) the table the upload of csv_path would make from the
// register's table at current_path, and compares the two. Returns 0, or
// ERR_FILE_NOT_FOUND (no CSV), ERR_INVALID_FILESIZE (the current table is
// not of the format's size) or ERR_FILE_CREATION.
std::int32_t compare_upload(const TableFormat& format, UploadRule rule, bool articles,
                            const std::string& current_path, const std::string& csv_path,
                            const std::string& work_dir, TableChanges& changes);

}  // namespace veltra::tool

// Table downloads and their CSV converters.
#pragma once

#include <cstdint>

namespace veltra {

// Kinds of table CSV, as the converters and downloads name them.
enum class TableCsv { kReparti, kPlu, kClienti };

// Converts a table file on disk into CSV: the number of rows written (a CSV
// with no row is deleted), ERR_FILE_NOT_FOUND, ERR_INVALID_FILESIZE or
// ERR_FILE_CREATION. all = 0 exports only records with their change mark set.
std::int32_t convert_table_csv(TableCsv kind, const char* filename_bin, const char* filename_csv,
                               std::int32_t all);

}  // namespace veltra

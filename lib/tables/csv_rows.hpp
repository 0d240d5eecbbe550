// The CSV lines of the register tables: ";" between fields, no quoting,
// the record number first, texts up to their NUL and never past their field.
// The department and article writers also start the lines of the sales
// files, which the VAT and totals writers complete.
#pragma once

#include <cstdint>
#include <span>

#include "tables/csv_output.hpp"

namespace veltra {

// Each writer puts ";" before its text when lead is set and "\n" after it
// when end is set. They return false once the output has failed.
bool csv_reparto_header(CsvOutput& out, bool lead, bool end);
bool csv_reparto_row(CsvOutput& out, int number, std::span<const std::uint8_t> rec, bool lead,
                     bool end);
bool csv_plu_header(CsvOutput& out, bool lead, bool end);
bool csv_plu_row(CsvOutput& out, int number, std::span<const std::uint8_t> rec, bool lead,
                 bool end);

// Sales lines. The VAT row takes a 25-byte text and the i32 behind it (29
// bytes); the totals rows take five i32 values in order (20 bytes).
inline constexpr std::size_t kCsvIvaBytes = 29;
inline constexpr std::size_t kCsvTotaliBytes = 20;
bool csv_iva_header(CsvOutput& out, bool lead, bool end);
bool csv_iva_row(CsvOutput& out, std::span<const std::uint8_t> iva, bool lead, bool end);
bool csv_totali_rep_header(CsvOutput& out, bool lead, bool end);
bool csv_totali_rep_row(CsvOutput& out, std::span<const std::uint8_t> totals, bool lead, bool end);
bool csv_totali_plu_header(CsvOutput& out, bool lead, bool end);
bool csv_totali_plu_row(CsvOutput& out, std::span<const std::uint8_t> totals, bool lead, bool end);

// The customer lines carry their own line end.
bool csv_cliente_header(CsvOutput& out);
bool csv_cliente_row(CsvOutput& out, int number, std::span<const std::uint8_t> rec);

}  // namespace veltra

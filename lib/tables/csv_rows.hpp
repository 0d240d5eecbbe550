// The CSV lines of the register tables: ";" between fields, no quoting,
// the record number first, texts up to their NUL and never past their field.
// The row writers also start the lines of the sales files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>

namespace veltra {

// Each writer puts ";" before its text when lead is set and "\n" after it
// when end is set. They return false when the stream has failed.
bool csv_reparto_header(std::FILE* out, bool lead, bool end);
bool csv_reparto_row(std::FILE* out, int number, std::span<const std::uint8_t> rec, bool lead,
                     bool end);
bool csv_plu_header(std::FILE* out, bool lead, bool end);
bool csv_plu_row(std::FILE* out, int number, std::span<const std::uint8_t> rec, bool lead,
                 bool end);

// The customer lines carry their own line end.
bool csv_cliente_header(std::FILE* out);
bool csv_cliente_row(std::FILE* out, int number, std::span<const std::uint8_t> rec);

}  // namespace veltra

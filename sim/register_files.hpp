// The register's files: their names, their sizes in each generation and
// bitmap type, and the seeded register that a fresh state directory gets.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "le_bytes.hpp"

namespace ecrsim {

// current: release name set; old: "V1." version, no name, older table
// layouts; unsupported: neither (a register that takes no release update).
enum class Generation { Current, Old, Unsupported };

struct Layout {
    Generation generation = Generation::Current;
    char bitmap = 'L';  // 'L' full layout, 'S' short header, courtesy and bitmap files
};

// The serial number INFO reports unless --matricola gives another: 1 to 20
// printable characters, never "," or "=", which would split the answer.
inline constexpr const char* kDefaultMatricola = "SIM00012345";
bool valid_matricola(const std::string& text);

std::optional<Generation> parse_generation(const std::string& text);
const char* generation_name(Generation g);

// True for the fourteen files of the register file list (exact names).
bool is_table_file(const std::string& name);

// The size a table file has on this register, or nothing when the register
// keeps no such file (TAV_MIN.BIN on an old register).
std::optional<std::size_t> table_file_size(const std::string& name, Layout layout);

// Writes every table file of the layout into dir (existing files are
// replaced) with named departments, articles, customers and invoices.
void seed_tables(const std::filesystem::path& dir, Layout layout, std::uint32_t today_oro);

// A department record in the current 50-byte layout, read from the
// register's REPARTI.BIN image in either layout (id from 1).
Bytes department_record(const Bytes& reparti, Layout layout, int id);
// An article record in the current 64-byte layout, likewise.
Bytes article_record(const Bytes& plu, Layout layout, int id);

// The register's wall clock as an oro value, and date helpers on it.
std::uint32_t oro_now();
std::uint32_t oro_midnight(std::uint32_t oro);
std::string oro_ddmmyy(std::uint32_t oro);

}  // namespace ecrsim

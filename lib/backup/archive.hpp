// The backup archive: twelve register files at fixed offsets behind a
// 512-byte header (the register's INFO answer) and ahead of a CRC-32.
// Member files are handled as plain files of one work directory.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

#include "frame/file_handle.hpp"

namespace veltra {

struct Member {
    const char* name;          // file name on the register and in a work directory
    const char* csv;           // CSV made from it on extraction, or nullptr
    std::uint32_t size;        // size in the archive (the current full layout)
    std::uint32_t short_size;  // size on a register of bitmap type "S", or 0
    std::uint32_t old_size;    // size on an old register, or 0
};

inline constexpr std::size_t kMemberCount = 12;
inline constexpr std::uint32_t kHeaderSize = 512;
inline constexpr std::uint32_t kCopyChunk = 1024;

// In archive order; every loop over members runs in this order.
inline constexpr std::array<Member, kMemberCount> kMembers = {{
    {"INTESTAZIONE.BIN", nullptr, 304, 208, 0},
    {"CORTESIA.BIN", nullptr, 78, 54, 0},
    {"REPARTI.BIN", "REPARTI.CSV", 4000, 0, 3360},
    {"IVA.BIN", nullptr, 232, 0, 0},
    {"VAL.BIN", nullptr, 116, 0, 0},
    {"OPERATORI.BIN", nullptr, 330, 0, 0},
    {"PROG_PARAM.BIN", nullptr, 1024, 0, 428},
    {"LOGO.BIN", nullptr, 120, 0, 0},
    {"BITMAP.BIN", nullptr, 384096, 230496, 0},
    {"CLIENTI.BIN", "CLIENTI.CSV", 256000, 0, 44250},
    {"PLU.BIN", "PLU.CSV", 6400000, 0, 240000},
    {"TAV_MIN.BIN", nullptr, 12800, 0, 0},
}};

constexpr std::uint32_t body_size() {
    std::uint32_t total = kHeaderSize;
    for (const Member& m : kMembers) total += m.size;
    return total;
}
inline constexpr std::uint32_t kArchiveBody = body_size();
inline constexpr std::uint32_t kArchiveSize = kArchiveBody + 4;
static_assert(kArchiveBody == 7059612);

// 512 plus the sum of the member sizes.
std::uint32_t ecr_dati_body_size();

// The member's offset in the archive.
std::uint32_t member_offset(std::size_t index);

// True when a fetched file of this size is one of the sizes the row lists.
bool member_size_accepted(const Member& member, std::int64_t size);

// dirname, the platform's separator and name (path_in_dir): an empty
// dirname is the current folder.
std::string member_path(std::string_view dirname, std::string_view name);

// Validates an archive: 0 with the file open at offset 0 in file_out, or
// ERR_FILE_NOT_FOUND (missing) or ECR_ERR_DATI_FILE_NOT_VALID (wrong size,
// unreadable, CRC mismatch) with file_out empty.
std::int32_t ecr_dati_file_valid(const char* filename, File& file_out);

// Removes the member files and CSV files of a work directory; ".TMP" files
// and everything else stay. True when none of those names is left there
// (false, for one, in a folder that is not writable).
bool ecr_dati_clean_dir(std::string_view dirname);

// Reads the member file into buffer only when it is exactly buffer.size()
// bytes: 0, or -1 without touching buffer.
int ecr_dati_read_member(std::string_view name, std::string_view dirname,
                         std::span<std::uint8_t> buffer);

// Writes the member file whole: 0, or -1 (no file left behind).
int ecr_dati_write_member(std::string_view name, std::string_view dirname,
                          std::span<const std::uint8_t> data);

// 0 when every member file of dirname has exactly its archive size;
// otherwise ERR_FILE_NOT_FOUND for the first one missing or
// ERR_INVALID_FILESIZE for the first one of another size.
std::int32_t ecr_dati_check_members(std::string_view dirname);

// Appends the 12 member fields to an open archive at its current position,
// running the bytes through the CRC register *crc when given (see
// ecr_crc32_update): 0, ERR_FILE_NOT_FOUND or ERR_INVALID_FILESIZE (a member
// file missing or shorter than its size), ERR_FILE_CREATION (a failed write).
std::int32_t ecr_dati_append_members(std::FILE* archive, std::string_view dirname,
                                     std::uint32_t* crc = nullptr);

// Writes a complete archive: the header text (at most 511 characters are
// kept, NUL-filled to 512), the members of dirname, the CRC-32. It is made
// as "<filename>.part" and renamed over filename only when complete, so an
// earlier archive of that name survives any failure. Returns 0,
// ERR_FILE_NOT_FOUND or ERR_INVALID_FILESIZE (a member not in the full
// layout; nothing is created) or ERR_FILE_CREATION.
std::int32_t ecr_dati_write_archive(const char* filename, std::string_view header,
                                    std::string_view dirname);

// Makes the CSV file of a member of dirname that has one (REPARTI.BIN,
// PLU.BIN, CLIENTI.BIN, all records): 0 for a member without a CSV, the
// converter's rows, or its negative result.
std::int32_t ecr_dati_member_csv(const Member& member, std::string_view dirname);

// Writes the 12 members of a validated archive into dirname and makes
// REPARTI.CSV, PLU.CSV and CLIENTI.CSV there: 0, ERR_FILE_CREATION,
// ECR_ERR_DATI_FILE_NOT_VALID (the archive could not be read back) or the
// failure of a converter.
std::int32_t ecr_dati_unpack_members(std::FILE* archive, std::string_view dirname);

}  // namespace veltra

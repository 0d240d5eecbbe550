// The register's sales files (a day's sales per department and per article)
// and their two CSV files, named after the day of the sales.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace veltra {

// vend_header: 512 bytes, then the department section, then the article
// section, each of 512-byte blocks of four 128-byte records.
namespace vend {
inline constexpr std::size_t kHeaderSize = 512, kBlockSize = 512, kRecordSize = 128;
inline constexpr std::size_t kRecordsPerBlock = kBlockSize / kRecordSize;
inline constexpr std::size_t kDate = 0;      // u32 oro value of the day
inline constexpr std::size_t kError = 26;    // u8, not 0 when the register is in error
inline constexpr std::size_t kNumRep = 27;   // u8
inline constexpr std::size_t kNumPlu = 28;   // u32
inline constexpr std::size_t kSizeRep = 72;  // u32, bytes of the department section
inline constexpr std::size_t kSizePlu = 76;  // u32, bytes of the article section
}  // namespace vend

// vend_rep_rec and vend_plu_rec: the number, the table record of the
// register, the VAT text and rate, then five i32 totals.
namespace vend_rep {
inline constexpr std::size_t kId = 1, kReparto = 5, kIva = 55, kTotali = 84;
}
namespace vend_plu {
inline constexpr std::size_t kId = 1, kArticolo = 5, kIva = 69, kTotali = 98;
}

// The file pattern of the sales CSV files in a folder ("?" is one character).
inline constexpr const char* kSalesCsvPattern = "VEND_???_??????.CSV";

// The folder, a separator and the name; an empty folder (or none) is the
// current one, so that a file never lands in the root by accident.
std::string sales_csv_path(const char* dirname, const std::string& name);

// Converts the sales file at pathname into dirname's VEND_REP_ddmmyy.CSV and
// VEND_PLU_ddmmyy.CSV (none for a kind with no records) and deletes the
// sales file in every case. Returns 0; -1 when the file cannot be opened or
// a CSV cannot be created or written; ERR_INVALID_FILESIZE, with no CSV at
// all, when the header does not fit the file (see veltra.h). A CSV of a
// failed conversion is not left behind, but one finished before the failure
// is: the callers clear the folder.
std::int32_t ecr_conv_venduto(const char* pathname, const char* dirname);

// What a conversion read and wrote, for callers that check the day and count
// only days whose files exist.
struct VendConversion {
    std::uint32_t date = 0;  // the header's oro value, once the header was read
    int files = 0;           // CSV files written and kept
};
std::int32_t ecr_conv_venduto(const char* pathname, const char* dirname, VendConversion& done);

// Deletes every file of the folder named like a sales CSV (kSalesCsvPattern);
// folders of such a name and all other files stay. Failures are ignored.
void sales_csv_cleanup(const char* dirname);

}  // namespace veltra

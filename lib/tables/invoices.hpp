// Invoice download.
#pragma once

#include <cstdint>

namespace veltra {

// The name of a document type code in a library-wide buffer that the next
// call overwrites: "fattura_gestionale" (0xA0), "ricevuta_fiscale" (0xA1),
// "fattura_con_scontr" (0xA3), "fattura_mensile" (0xA4), empty for 0xA2 and
// 0xA5, "0x%02X" of any other code.
const char* fattura_tipo_text(unsigned code);

// Writes the invoice CSV of a FATTURE.BIN on disk: the number of rows (a
// CSV with no row is deleted), ERR_INVALID_FILESIZE or ERR_FILE_CREATION.
std::int32_t convert_fatture_csv(const char* filename_bin, const char* filename_csv);

}  // namespace veltra

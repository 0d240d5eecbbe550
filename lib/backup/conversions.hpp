// Conversions of member files inside a work directory: short layouts to
// the full one and back, old layouts up to the current one.
#pragma once

#include <cstdint>
#include <string_view>

namespace veltra {

// Short to full layout for INTESTAZIONE.BIN, CORTESIA.BIN and BITMAP.BIN. A
// file missing or of another size counts as zero bytes; the three full files
// are written whatever. 0, or -1 when one of them cannot be written.
int ecr_dati_expand_short(std::string_view dirname);

// Full to short layout for the same three files, likewise.
int ecr_dati_reduce_short(std::string_view dirname);

// Old to current layout, one member each: 0 when the member is in the
// current layout afterwards (a member already in it is left alone), or -1
// (the member then keeps the bytes it had, under its own name).
int ecr_dati_upgrade_reparti(std::string_view dirname);
int ecr_dati_upgrade_clienti(std::string_view dirname);
int ecr_dati_upgrade_plu(std::string_view dirname);
// A file of the old 428 bytes is upgraded, one of the current 1024 bytes is
// kept, anything else is replaced by the defaults alone. 0 or -1.
int ecr_dati_upgrade_prog_param(std::string_view dirname);

// TAV_MIN.BIN anew: 200 records of 64 bytes, record i named "TAVOLO i+1".
int ecr_dati_make_tav_min(std::string_view dirname);

// Renames NAME.EXT to NAME.TMP (an existing .TMP is not replaced): 0 or -1.
int ecr_dati_move_to_tmp(std::string_view name, std::string_view dirname);

// Removes REPARTI.TMP, CLIENTI.TMP and PLU.TMP, left from a broken upgrade.
void ecr_dati_remove_tmp(std::string_view dirname);

}  // namespace veltra

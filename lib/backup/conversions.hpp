// Conversions of member files inside a work directory: short layouts to
// the full one and back, old layouts up to the current one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "backup/member_layouts.hpp"

namespace veltra {

// The cores, over images in memory; the file functions below read a member,
// run one of these and write it back.

// A short layout's image (INTESTAZIONE.BIN, CORTESIA.BIN, BITMAP.BIN) to
// the full layout (to_full) or back. 0, or -1 when in or out is not the
// size of its layout; out is then untouched.
int convert_short_image(const MemberLayout& layout, bool to_full, std::span<const std::uint8_t> in,
                        std::span<std::uint8_t> out);

// Record index of an old record file upgraded: the new record's default
// (zeros when the layout has none), then the old fields over it. old_rec
// and new_rec are the layout's small and full record sizes.
void upgrade_record(const MemberLayout& layout, std::size_t index,
                    std::span<const std::uint8_t> old_rec, std::span<std::uint8_t> new_rec);

// The current 1024-byte PROG_PARAM.BIN image: the defaults, with the fields
// of old over them when old is the 428 bytes of the old layout.
void upgrade_prog_param_image(std::span<const std::uint8_t> old, std::span<std::uint8_t> image);

// Record index of TAV_MIN.BIN: "TAVOLO index+1" in a 64-byte text field.
void tav_min_record(std::size_t index, std::span<std::uint8_t> record);

// Short to full layout for INTESTAZIONE.BIN, CORTESIA.BIN and BITMAP.BIN,
// each on its own: a member in the short size is expanded, one already in
// the full size stays as it is (a type "S" register may send either).
// Returns 0; ERR_INVALID_FILESIZE when a member is missing, unreadable or
// of another size (it is left as it is, never made of zeros); or
// ERR_FILE_CREATION when an expanded member cannot be written.
std::int32_t ecr_dati_expand_short(std::string_view dirname);

// Full to short layout for the same three files, likewise; only a member in
// the full size is reduced, any other is ERR_INVALID_FILESIZE.
std::int32_t ecr_dati_reduce_short(std::string_view dirname);

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

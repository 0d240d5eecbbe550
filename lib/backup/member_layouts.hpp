// Member layouts as data: each member that exists in more than one layout is
// a list of field moves between its small layout (short or old) and its
// full one. One engine (apply_moves) carries a record either way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace veltra {

enum class Move : std::uint8_t {
    kBytes,    // width bytes as they are (small_width == full_width)
    kText,     // a text, read within the source width, stored with the bounded copy
    kBits,     // (source byte >> shift) & mask over the bits of the target not in keep
    kWord32,   // a constant 32-bit word, one per layout (bitmap row width)
    kCount32,  // a 32-bit count, at most limit
    kRows,     // the first count rows (count read at count_at of the source)
};

struct FieldMove {
    Move kind;
    std::uint32_t small_at, full_at;
    std::uint32_t small_width, full_width;
    // kBits
    std::uint8_t shift = 0, mask = 0, keep = 0;
    // kWord32: the word each layout holds; kCount32, kRows: limit
    std::uint32_t small_value = 0, full_value = 0;
    std::uint32_t limit = 0;
    // kRows: row sizes and where the row count is
    std::uint32_t small_stride = 0, full_stride = 0;
    std::uint32_t count_at = 0;
};

// A default record's maker (reparto_default, plu_default), or none.
using RecordDefault = void (*)(std::size_t index, std::span<std::uint8_t> record);

struct MemberLayout {
    const char* file;
    std::uint32_t small_record, small_records;  // the short or old layout
    std::uint32_t full_record, full_records;    // the archive's layout
    RecordDefault full_default;                 // what new records start as
    std::span<const FieldMove> moves;
    std::uint32_t small_size() const { return small_record * small_records; }
    std::uint32_t full_size() const { return full_record * full_records; }
};

// Short layouts of a register of bitmap type "S".
extern const MemberLayout kShortIntestazione;
extern const MemberLayout kShortCortesia;
extern const MemberLayout kShortBitmap;

// Old layouts of a generation 0 register.
extern const MemberLayout kOldReparti;
extern const MemberLayout kOldClienti;
extern const MemberLayout kOldPlu;
extern const MemberLayout kOldProgParam;

// Rows of a bitmap that exist; a larger count in a file is taken as this.
inline constexpr std::uint32_t kBitmapRows = 400;

// Carries one record through the moves: small to full when to_full, else
// full to small. from and to must be the sizes of the two records; fields
// of `to` that no move names keep what they held.
void apply_moves(std::span<const FieldMove> moves, bool to_full, std::span<const std::uint8_t> from,
                 std::span<std::uint8_t> to);

// Fills the 1024-byte current PROG_PARAM.BIN image with its defaults.
void prog_param_defaults(std::span<std::uint8_t> image);

}  // namespace veltra

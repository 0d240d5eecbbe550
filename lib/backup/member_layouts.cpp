// The member layouts and the engine that carries records between them.
#include "backup/member_layouts.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "clock/oro_codec.hpp"
#include "tables/table_files.hpp"
#include "tables/table_formats.hpp"

namespace veltra {
namespace {

constexpr FieldMove bytes(std::uint32_t small_at, std::uint32_t full_at, std::uint32_t width) {
    return {.kind = Move::kBytes,
            .small_at = small_at,
            .full_at = full_at,
            .small_width = width,
            .full_width = width};
}
constexpr FieldMove text(std::uint32_t small_at, std::uint32_t small_width, std::uint32_t full_at,
                         std::uint32_t full_width) {
    return {.kind = Move::kText,
            .small_at = small_at,
            .full_at = full_at,
            .small_width = small_width,
            .full_width = full_width};
}
constexpr FieldMove bits(std::uint32_t small_at, std::uint32_t full_at, std::uint8_t shift,
                         std::uint8_t mask, std::uint8_t keep) {
    return {.kind = Move::kBits,
            .small_at = small_at,
            .full_at = full_at,
            .small_width = 1,
            .full_width = 1,
            .shift = shift,
            .mask = mask,
            .keep = keep};
}

// Header and courtesy lines: 24-character texts short, 36 full.
constexpr std::array kLineMoves = {bytes(0, 0, 1), text(1, 25, 1, 37)};
constexpr std::array kCourtesyMoves = {bytes(0, 0, 1), text(1, 25, 1, 37), bytes(26, 38, 1)};

// A short row is bytes 16 to 63 of a full row; the rows start at byte 8.
constexpr std::array kBitmapMoves = {
    FieldMove{.kind = Move::kWord32,
              .small_at = 0,
              .full_at = 0,
              .small_width = 4,
              .full_width = 4,
              .small_value = 48,
              .full_value = 80},
    FieldMove{.kind = Move::kCount32,
              .small_at = 4,
              .full_at = 4,
              .small_width = 4,
              .full_width = 4,
              .limit = kBitmapRows},
    FieldMove{.kind = Move::kRows,
              .small_at = 8,
              .full_at = 8 + 16,
              .small_width = 48,
              .full_width = 48,
              .limit = kBitmapRows,
              .small_stride = 48,
              .full_stride = 80,
              .count_at = 4},
};

// Old department (42 bytes) to reparto_rec: the packed byte 25 splits into
// byte 26 bits 0-4 and byte 27.
constexpr std::array kRepartiMoves = {
    text(0, 25, reparto::kDescr, reparto::kDescrWidth),
    bits(25, reparto::kFlags, 0, 0x1F, 0xE0),
    bits(25, reparto::kGruppo, 5, 0x07, 0x00),
    bytes(26, reparto::kPrezzo, 16),
};

// Old customer (177 bytes) to cliente_rec. The last old text runs to the end
// of the old record (53 bytes) and lands on the 12-byte VAT number field.
constexpr std::array kClientiMoves = {
    bytes(0, cliente::kKind, 1),
    text(1, 41, cliente::kRagioneSociale, cliente::kRagioneSocialeWidth),
    text(42, 41, cliente::kIndirizzo, cliente::kIndirizzoWidth),
    text(83, 41, cliente::kCitta, cliente::kCittaWidth),
    text(124, 53, cliente::kPartitaIva, cliente::kPartitaIvaWidth),
};

// Old article (48 bytes) to plu_rec: the 17-byte code lands on 14 bytes.
constexpr std::array kPluMoves = {
    text(0, 25, plu::kDescr, plu::kDescrWidth), bytes(25, plu::kReparto, 1),
    bits(26, plu::kFlags, 0, 0x03, 0xFC),       bytes(27, plu::kPrezzo, 4),
    text(31, 17, plu::kEan, plu::kEanWidth),
};

// Old PROG_PARAM.BIN (428 bytes) to the current 1024 bytes.
constexpr std::array kProgParamMoves = {
    bytes(0, 0, 1),         bytes(1, 1, 4),         bytes(5, 5, 11),        bytes(16, 18, 3),
    bytes(19, 24, 3),       bytes(22, 30, 4),       bytes(26, 34, 1),       text(27, 25, 35, 25),
    text(52, 25, 60, 25),   text(77, 25, 85, 25),   text(102, 25, 110, 25), text(127, 7, 135, 7),
    bytes(134, 142, 1),     bytes(135, 143, 4),     bytes(139, 147, 1),     bytes(141, 251, 7),
    bytes(148, 258, 4),     bytes(152, 262, 4),     bytes(156, 266, 6),     text(162, 25, 272, 25),
    text(187, 25, 297, 25), text(212, 25, 322, 25), text(237, 25, 347, 25), text(262, 25, 372, 25),
    text(287, 25, 397, 25), text(312, 25, 422, 25), text(337, 25, 447, 25), bytes(362, 672, 1),
    text(363, 25, 673, 25), bytes(388, 698, 1),     text(389, 25, 699, 25), bytes(414, 724, 3),
    bytes(417, 728, 1),
};

// Defaults of the current PROG_PARAM.BIN over a zero image: bytes as they
// are, texts NUL-filled to their width.
struct ParamDefault {
    std::uint32_t at;
    std::string_view value;
    std::uint32_t text_width;  // 0: bytes
};
constexpr std::array kProgParamDefaults = {
    ParamDefault{5, {"\1\0\0\0\0\0\1\0\2\1\1", 11}, 0},
    ParamDefault{18, {"\0\1\0", 3}, 0},
    ParamDefault{21, {"\0\1\0", 3}, 0},
    ParamDefault{24, {"\0\1\0", 3}, 0},
    ParamDefault{27, {"\0\1\0", 3}, 0},
    ParamDefault{35, "TICKET", 25},
    ParamDefault{60, "SUBTENDER2", 25},
    ParamDefault{85, "SUBTENDER3", 25},
    ParamDefault{110, "SUBTENDER4", 25},
    ParamDefault{135, "000000", 7},
    ParamDefault{148, {"\1", 1}, 0},
    ParamDefault{251, {"\1\13\0\42\1\1\0", 7}, 0},
    ParamDefault{266, {"\50\0\1\0\0\0", 6}, 0},
    ParamDefault{272, "TALLON_1", 25},
    ParamDefault{297, "TALLON_2", 25},
    ParamDefault{322, "TALLON_3", 25},
    ParamDefault{347, "TALLON_4", 25},
    ParamDefault{372, "TALLON_5", 25},
    ParamDefault{397, "TALLON_6", 25},
    ParamDefault{422, "TALLON_7", 25},
    ParamDefault{447, "TALLON_8", 25},
    ParamDefault{724, {"\0\1\0", 3}, 0},
    ParamDefault{729, {"\1\1", 2}, 0},
};
constexpr std::uint32_t kParamTimeA = 30, kParamTimeB = 143, kParamFfAt = 151, kParamFfLen = 100;

void prog_param_default_record(std::size_t, std::span<std::uint8_t> image) {
    prog_param_defaults(image);
}

std::uint32_t get32(std::span<const std::uint8_t> r, std::size_t at) {
    return get_u32(r, at);
}

}  // namespace

const MemberLayout kShortIntestazione{"INTESTAZIONE.BIN", 26, 8, 38, 8, nullptr, kLineMoves};
const MemberLayout kShortCortesia{"CORTESIA.BIN", 27, 2, 39, 2, nullptr, kCourtesyMoves};
const MemberLayout kShortBitmap{"BITMAP.BIN", 19208, 12, 32008, 12, nullptr, kBitmapMoves};

const MemberLayout kOldReparti{"REPARTI.BIN", 42, 80, 50, 80, reparto_default, kRepartiMoves};
const MemberLayout kOldClienti{"CLIENTI.BIN", 177, 250, 256, 1000, nullptr, kClientiMoves};
const MemberLayout kOldPlu{"PLU.BIN", 48, 5000, 64, 100000, plu_default, kPluMoves};
const MemberLayout kOldProgParam{"PROG_PARAM.BIN", 428, 1, 1024, 1, prog_param_default_record,
                                 kProgParamMoves};

void apply_moves(std::span<const FieldMove> moves, bool to_full, std::span<const std::uint8_t> from,
                 std::span<std::uint8_t> to) {
    for (const FieldMove& m : moves) {
        const std::size_t src = to_full ? m.small_at : m.full_at;
        const std::size_t dst = to_full ? m.full_at : m.small_at;
        const std::size_t src_width = to_full ? m.small_width : m.full_width;
        const std::size_t dst_width = to_full ? m.full_width : m.small_width;
        switch (m.kind) {
            case Move::kBytes:
                std::memcpy(to.data() + dst, from.data() + src, std::min(src_width, dst_width));
                break;
            case Move::kText: {
                const auto field = from.subspan(src, src_width);
                const auto nul = std::find(field.begin(), field.end(), std::uint8_t{0});
                const std::string_view value(reinterpret_cast<const char*>(field.data()),
                                             static_cast<std::size_t>(nul - field.begin()));
                text_to_field(value, to.subspan(dst, dst_width));
                break;
            }
            case Move::kBits:
                to[dst] = static_cast<std::uint8_t>((to[dst] & m.keep) |
                                                    ((from[src] >> m.shift) & m.mask));
                break;
            case Move::kWord32:
                put_u32(to, dst, to_full ? m.full_value : m.small_value);
                break;
            case Move::kCount32:
                put_u32(to, dst, std::min(get32(from, src), m.limit));
                break;
            case Move::kRows: {
                const std::uint32_t rows = std::min(get32(from, m.count_at), m.limit);
                const std::size_t src_stride = to_full ? m.small_stride : m.full_stride;
                const std::size_t dst_stride = to_full ? m.full_stride : m.small_stride;
                const std::size_t width = std::min(src_width, dst_width);
                for (std::size_t r = 0; r < rows; ++r)
                    std::memcpy(to.data() + dst + r * dst_stride,
                                from.data() + src + r * src_stride, width);
                break;
            }
        }
    }
}

void prog_param_defaults(std::span<std::uint8_t> image) {
    std::fill(image.begin(), image.end(), 0);
    for (const ParamDefault& d : kProgParamDefaults) {
        if (d.text_width != 0) {
            text_to_field(d.value, image.subspan(d.at, d.text_width));
        } else {
            std::memcpy(image.data() + d.at, d.value.data(), d.value.size());
        }
    }
    put_u32(image, kParamTimeA, oro_decode(31, 12, 99, 0, 0, 0));
    put_u32(image, kParamTimeB, oro_decode(1, 1, 0, 21, 0, 0));
    std::fill_n(image.begin() + kParamFfAt, kParamFfLen, std::uint8_t{0xFF});
}

}  // namespace veltra

// Byte layouts of the register's table files: headerless arrays of
// fixed-size little-endian records. Fields are read and written at explicit
// offsets; bytes no one interprets travel through unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace veltra {

struct TableFormat {
    const char* file;  // name on the register and in the temporary directory
    std::size_t record_size;
    std::size_t records;
    std::int64_t file_size() const { return static_cast<std::int64_t>(record_size * records); }
};

inline constexpr TableFormat kReparti{"REPARTI.BIN", 50, 80};
inline constexpr TableFormat kPlu{"PLU.BIN", 64, 100000};
inline constexpr TableFormat kClienti{"CLIENTI.BIN", 256, 1000};
inline constexpr TableFormat kFatture{"FATTURE.BIN", 64, 3000};

// Largest record of any table.
inline constexpr std::size_t kMaxRecordSize = 512;

// Byte 0 of departments, articles and customers: not 0 when changed on the register.
inline constexpr std::size_t kChangeMark = 0;

// reparto_rec
namespace reparto {
inline constexpr std::size_t kDescr = 1, kDescrWidth = 25;
inline constexpr std::size_t kFlags =
    26;  // bits 0-2 iva-1, 3 batt_sing, 4 tipo_sconto, 5-7 id_aux_lan-1
inline constexpr std::size_t kGruppo = 27;  // id_gruppo - 1
inline constexpr std::size_t kPrezzo = 28, kMinValore = 32, kMaxValore = 36, kValoreSconto = 40;
inline constexpr std::size_t kNonFiscale = 44;  // bit 0
}  // namespace reparto

// plu_rec
namespace plu {
inline constexpr std::size_t kDescr = 1, kDescrWidth = 25;
inline constexpr std::size_t kReparto = 26;  // id_reparto - 1
inline constexpr std::size_t kFlags = 27;    // bit 0 var_prezzo, bit 1 zero_si
inline constexpr std::size_t kPrezzo = 28;
inline constexpr std::size_t kEan = 32, kEanWidth = 14;
}  // namespace plu

// cliente_rec
namespace cliente {
inline constexpr std::size_t kKind = 1;  // 0 empty, 1 company name and VAT number, 2 other
inline constexpr std::size_t kRagioneSociale = 2, kRagioneSocialeWidth = 41;
inline constexpr std::size_t kIndirizzo = 43, kIndirizzoWidth = 41;
inline constexpr std::size_t kCitta = 84, kCittaWidth = 41;
inline constexpr std::size_t kPartitaIva = 125, kPartitaIvaWidth = 12;
inline constexpr std::size_t kCodiceFiscale = 137, kCodiceFiscaleWidth = 17;
}  // namespace cliente

// fattura_rec
namespace fattura {
inline constexpr std::size_t kTipo = 0;       // 0: free slot
inline constexpr std::size_t kCliente = 1;    // u16
inline constexpr std::size_t kDataTempo = 3;  // u32 oro value
inline constexpr std::size_t kImporto = 7, kImponibile = 11, kImposta = 15, kCredito = 19;
}  // namespace fattura

// Little-endian access at an offset of a record.
inline std::uint16_t get_u16(std::span<const std::uint8_t> r, std::size_t at) {
    return static_cast<std::uint16_t>(r[at] | (r[at + 1] << 8));
}
inline std::uint32_t get_u32(std::span<const std::uint8_t> r, std::size_t at) {
    return static_cast<std::uint32_t>(r[at]) | (static_cast<std::uint32_t>(r[at + 1]) << 8) |
           (static_cast<std::uint32_t>(r[at + 2]) << 16) |
           (static_cast<std::uint32_t>(r[at + 3]) << 24);
}
inline std::int32_t get_i32(std::span<const std::uint8_t> r, std::size_t at) {
    return static_cast<std::int32_t>(get_u32(r, at));
}
inline void put_u32(std::span<std::uint8_t> r, std::size_t at, std::uint32_t v) {
    r[at] = static_cast<std::uint8_t>(v);
    r[at + 1] = static_cast<std::uint8_t>(v >> 8);
    r[at + 2] = static_cast<std::uint8_t>(v >> 16);
    r[at + 3] = static_cast<std::uint8_t>(v >> 24);
}
inline void put_i32(std::span<std::uint8_t> r, std::size_t at, std::int32_t v) {
    put_u32(r, at, static_cast<std::uint32_t>(v));
}

// The length of a text field's text: up to its NUL, never beyond its width.
std::size_t field_text_length(std::span<const std::uint8_t> r, std::size_t at, std::size_t width);

// Default records an upload starts from: "REPARTO n", and "PLU n" with
// var_prezzo and zero_si set.
void reparto_default(std::size_t index, std::span<std::uint8_t> record);
void plu_default(std::size_t index, std::span<std::uint8_t> record);

}  // namespace veltra

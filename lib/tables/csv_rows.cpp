// Header and row writers of the table CSV files.
#include "tables/csv_rows.hpp"

#include "tables/table_formats.hpp"

namespace veltra {
namespace {

// A text field as printf's "%.*s" takes it.
struct Text {
    int length;
    const char* bytes;
};

Text text(std::span<const std::uint8_t> r, std::size_t at, std::size_t width) {
    return {static_cast<int>(field_text_length(r, at, width)),
            reinterpret_cast<const char*>(r.data() + at)};
}

const char* lead_text(bool lead) {
    return lead ? ";" : "";
}
const char* end_text(bool end) {
    return end ? "\n" : "";
}

}  // namespace

bool csv_reparto_header(std::FILE* out, bool lead, bool end) {
    return std::fprintf(out, "%s%s;%s;%s;%s;%s;%s;%s;%s;%s;%s;%s;%s%s", lead_text(lead),
                        "id_reparto", "descr", "iva", "batt_sing", "tipo_sconto", "id_aux_lan",
                        "id_gruppo", "prezzo", "min_valore", "max_valore", "valore_sconto",
                        "non_fiscale", end_text(end)) >= 0;
}

bool csv_reparto_row(std::FILE* out, int number, std::span<const std::uint8_t> r, bool lead,
                     bool end) {
    using namespace reparto;
    const Text descr = text(r, kDescr, kDescrWidth);
    const unsigned flags = r[kFlags];
    return std::fprintf(out, "%s%d;%.*s;%d;%d;%d;%d;%d;%d;%d;%d;%d;%d%s", lead_text(lead), number,
                        descr.length, descr.bytes, static_cast<int>((flags & 7u) + 1),
                        static_cast<int>((flags >> 3) & 1u), static_cast<int>((flags >> 4) & 1u),
                        static_cast<int>((flags >> 5) + 1), static_cast<int>(r[kGruppo]) + 1,
                        static_cast<int>(get_i32(r, kPrezzo)),
                        static_cast<int>(get_i32(r, kMinValore)),
                        static_cast<int>(get_i32(r, kMaxValore)),
                        static_cast<int>(get_i32(r, kValoreSconto)),
                        static_cast<int>(r[kNonFiscale] & 1u), end_text(end)) >= 0;
}

bool csv_plu_header(std::FILE* out, bool lead, bool end) {
    return std::fprintf(out, "%s%s;%s;%s;%s;%s;%s;%s%s", lead_text(lead), "id_plu", "descr",
                        "id_reparto", "var_prezzo", "zero_si", "prezzo", "codice_ean",
                        end_text(end)) >= 0;
}

bool csv_plu_row(std::FILE* out, int number, std::span<const std::uint8_t> r, bool lead, bool end) {
    using namespace plu;
    const Text descr = text(r, kDescr, kDescrWidth);
    const Text ean = text(r, kEan, kEanWidth);
    return std::fprintf(out, "%s%d;%.*s;%d;%d;%d;%d;%.*s%s", lead_text(lead), number, descr.length,
                        descr.bytes, static_cast<int>(r[kReparto]) + 1,
                        static_cast<int>(r[kFlags] & 1u), static_cast<int>((r[kFlags] >> 1) & 1u),
                        static_cast<int>(get_i32(r, kPrezzo)), ean.length, ean.bytes,
                        end_text(end)) >= 0;
}

bool csv_cliente_header(std::FILE* out) {
    return std::fprintf(out, "%s;%s;%s;%s;%s;%s\n", "id_cliente", "ragione_sociale", "indirizzo",
                        "citta", "partita_iva", "codice_fiscale") >= 0;
}

bool csv_cliente_row(std::FILE* out, int number, std::span<const std::uint8_t> r) {
    using namespace cliente;
    const Text name = text(r, kRagioneSociale, kRagioneSocialeWidth);
    const Text address = text(r, kIndirizzo, kIndirizzoWidth);
    const Text town = text(r, kCitta, kCittaWidth);
    const Text vat = text(r, kPartitaIva, kPartitaIvaWidth);
    const Text tax = text(r, kCodiceFiscale, kCodiceFiscaleWidth);
    return std::fprintf(out, "%d;%.*s;%.*s;%.*s;%.*s;%.*s\n", number, name.length, name.bytes,
                        address.length, address.bytes, town.length, town.bytes, vat.length,
                        vat.bytes, tax.length, tax.bytes) >= 0;
}

}  // namespace veltra

// Header and row writers of the table and sales CSV files. Each row is
// formatted in place in the output's buffer, numbers by std::to_chars.
#include "tables/csv_rows.hpp"

#include <charconv>
#include <cstring>

#include "tables/table_formats.hpp"

namespace veltra {
namespace {

// Room for the longest row: twelve numbers of up to 11 characters, a
// 24-character text, separators and the line end.
constexpr std::size_t kRowRoom = 256;

// Formats one row at the output's current end.
class Row {
public:
    Row(CsvOutput& out, bool lead) : out_(out), p_(out.room(kRowRoom)) {
        if (lead) *p_++ = ';';
    }
    Row& number(std::int32_t v) {
        p_ = std::to_chars(p_, p_ + 11, v).ptr;
        return *this;
    }
    // ";" and a number, the shape of most columns.
    Row& next(std::int32_t v) {
        *p_++ = ';';
        return number(v);
    }
    Row& sep() {
        *p_++ = ';';
        return *this;
    }
    // A text field up to its NUL, never beyond its width (at most 40 bytes).
    Row& text(std::span<const std::uint8_t> r, std::size_t at, std::size_t width) {
        const std::size_t n = field_text_length(r, at, width);
        std::memcpy(p_, r.data() + at, n);
        p_ += n;
        return *this;
    }
    bool end(bool end) {
        if (end) *p_++ = '\n';
        out_.commit(p_);
        return out_.ok();
    }

private:
    CsvOutput& out_;
    char* p_;
};

std::int32_t u(unsigned v) {
    return static_cast<std::int32_t>(v);
}

bool header(CsvOutput& out, std::string_view names, bool lead, bool end) {
    if (lead) out.put(';');
    out.text(names);
    if (end) out.put('\n');
    return out.ok();
}

bool five_totals(CsvOutput& out, std::span<const std::uint8_t> t, bool lead, bool end) {
    return Row(out, lead)
        .number(get_i32(t, 0))
        .next(get_i32(t, 4))
        .next(get_i32(t, 8))
        .next(get_i32(t, 12))
        .next(get_i32(t, 16))
        .end(end);
}

}  // namespace

bool csv_reparto_header(CsvOutput& out, bool lead, bool end) {
    return header(out,
                  "id_reparto;descr;iva;batt_sing;tipo_sconto;id_aux_lan;id_gruppo;prezzo;"
                  "min_valore;max_valore;valore_sconto;non_fiscale",
                  lead, end);
}

bool csv_reparto_row(CsvOutput& out, int number, std::span<const std::uint8_t> r, bool lead,
                     bool end) {
    using namespace reparto;
    const unsigned flags = r[kFlags];
    return Row(out, lead)
        .number(number)
        .sep()
        .text(r, kDescr, kDescrWidth)
        .next(u((flags & 7u) + 1))
        .next(u((flags >> 3) & 1u))
        .next(u((flags >> 4) & 1u))
        .next(u((flags >> 5) + 1))
        .next(u(r[kGruppo] + 1u))
        .next(get_i32(r, kPrezzo))
        .next(get_i32(r, kMinValore))
        .next(get_i32(r, kMaxValore))
        .next(get_i32(r, kValoreSconto))
        .next(u(r[kNonFiscale] & 1u))
        .end(end);
}

bool csv_plu_header(CsvOutput& out, bool lead, bool end) {
    return header(out, "id_plu;descr;id_reparto;var_prezzo;zero_si;prezzo;codice_ean", lead, end);
}

bool csv_plu_row(CsvOutput& out, int number, std::span<const std::uint8_t> r, bool lead, bool end) {
    using namespace plu;
    return Row(out, lead)
        .number(number)
        .sep()
        .text(r, kDescr, kDescrWidth)
        .next(u(r[kReparto] + 1u))
        .next(u(r[kFlags] & 1u))
        .next(u((r[kFlags] >> 1) & 1u))
        .next(get_i32(r, kPrezzo))
        .sep()
        .text(r, kEan, kEanWidth)
        .end(end);
}

bool csv_iva_header(CsvOutput& out, bool lead, bool end) {
    return header(out, "iva_descr;iva_aliquota", lead, end);
}

bool csv_iva_row(CsvOutput& out, std::span<const std::uint8_t> iva, bool lead, bool end) {
    return Row(out, lead).text(iva, 0, 25).next(get_i32(iva, 25)).end(end);
}

bool csv_totali_rep_header(CsvOutput& out, bool lead, bool end) {
    return header(out,
                  "totale_reparto;totale_qt_rep;totale_sconto_rep;totale_reso_storno;"
                  "tot_qt_reso_storno",
                  lead, end);
}

bool csv_totali_rep_row(CsvOutput& out, std::span<const std::uint8_t> totals, bool lead, bool end) {
    return five_totals(out, totals, lead, end);
}

bool csv_totali_plu_header(CsvOutput& out, bool lead, bool end) {
    return header(out,
                  "totale_plu;totale_qt_plu;totale_sconto_plu;totale_reso_storno;"
                  "tot_qt_reso_storno",
                  lead, end);
}

bool csv_totali_plu_row(CsvOutput& out, std::span<const std::uint8_t> totals, bool lead, bool end) {
    return five_totals(out, totals, lead, end);
}

bool csv_cliente_header(CsvOutput& out) {
    return header(out, "id_cliente;ragione_sociale;indirizzo;citta;partita_iva;codice_fiscale",
                  false, true);
}

bool csv_cliente_row(CsvOutput& out, int number, std::span<const std::uint8_t> r) {
    using namespace cliente;
    return Row(out, false)
        .number(number)
        .sep()
        .text(r, kRagioneSociale, kRagioneSocialeWidth)
        .sep()
        .text(r, kIndirizzo, kIndirizzoWidth)
        .sep()
        .text(r, kCitta, kCittaWidth)
        .sep()
        .text(r, kPartitaIva, kPartitaIvaWidth)
        .sep()
        .text(r, kCodiceFiscale, kCodiceFiscaleWidth)
        .end(true);
}

}  // namespace veltra

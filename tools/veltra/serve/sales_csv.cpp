// Reading the library's sales CSV back: the header checked exactly, every
// number checked, descriptions kept as the register's bytes.
#include "sales_csv.hpp"

#include <array>
#include <charconv>
#include <map>

namespace veltra::tool::serve {
namespace {

constexpr std::string_view kDepartmentsHeader =
    "id_reparto;descr;iva;batt_sing;tipo_sconto;id_aux_lan;id_gruppo;prezzo;min_valore;"
    "max_valore;valore_sconto;non_fiscale;iva_descr;iva_aliquota;totale_reparto;totale_qt_rep;"
    "totale_sconto_rep;totale_reso_storno;tot_qt_reso_storno";
constexpr std::string_view kArticlesHeader =
    "id_plu;descr;id_reparto;var_prezzo;zero_si;prezzo;codice_ean;iva_descr;iva_aliquota;"
    "totale_plu;totale_qt_plu;totale_sconto_plu;totale_reso_storno;tot_qt_reso_storno";

// Where each kind keeps what the history needs; every other field is a
// number that must read too.
struct Layout {
    std::size_t fields;
    std::array<std::size_t, 3> texts;  // descr, ean (or none), vat_descr
    std::size_t number, department, vat_rate, totals;
};
constexpr std::size_t kNone = static_cast<std::size_t>(-1);
constexpr Layout kDepartments{19, {1, kNone, 12}, 0, 0, 13, 14};
constexpr Layout kArticles{14, {1, 6, 7}, 0, 2, 8, 9};

bool is_text(const Layout& l, std::size_t i) {
    for (std::size_t t : l.texts)
        if (t == i) return true;
    return false;
}

bool read_i32(std::string_view s, std::int32_t& out) {
    if (s.empty()) return false;
    const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && p == s.data() + s.size();
}

std::vector<std::string_view> split(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = line.find(';', start);
        out.push_back(line.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) return out;
        start = end + 1;
    }
}

// The fields of a line once the extra ';' are given back to the texts they
// came from: the first way in which every number reads.
bool fit(const Layout& l, const std::vector<std::string_view>& raw,
         std::vector<std::string_view>& fields) {
    if (raw.size() < l.fields) return false;
    const std::size_t extra = raw.size() - l.fields;
    std::vector<std::size_t> texts;
    for (std::size_t t : l.texts)
        if (t != kNone) texts.push_back(t);
    // extra ';' spread over the texts: (extra + 1)^texts ways at most, and
    // a description holds 25 bytes.
    if (extra > 24) return false;
    std::vector<std::size_t> share(texts.size(), 0);
    for (;;) {
        std::size_t used = 0;
        for (std::size_t s : share) used += s;
        if (used == extra) {
            fields.clear();
            std::size_t r = 0;
            bool ok = true;
            for (std::size_t i = 0; i < l.fields && ok; ++i) {
                std::size_t take = 0;
                for (std::size_t k = 0; k < texts.size(); ++k)
                    if (texts[k] == i) take = share[k];
                const char* begin = raw[r].data();
                const char* end = raw[r + take].data() + raw[r + take].size();
                fields.emplace_back(begin, static_cast<std::size_t>(end - begin));
                r += take + 1;
                std::int32_t v = 0;
                if (!is_text(l, i) && !read_i32(fields.back(), v)) ok = false;
            }
            if (ok) return true;
        }
        // The next way: count in base extra + 1.
        std::size_t k = 0;
        while (k < share.size() && share[k] == extra) share[k++] = 0;
        if (k == share.size()) return false;
        ++share[k];
    }
}

SalesLine line_of(const Layout& l, const std::vector<std::string_view>& f) {
    const auto i32 = [&](std::size_t i) {
        std::int32_t v = 0;
        read_i32(f[i], v);
        return v;
    };
    SalesLine s;
    s.number = i32(l.number);
    s.descr = std::string(f[l.texts[0]]);
    if (l.texts[1] != kNone) s.ean = std::string(f[l.texts[1]]);
    s.department = i32(l.department);
    s.vat_descr = std::string(f[l.texts[2]]);
    s.vat_rate = i32(l.vat_rate);
    s.totals.amount = i32(l.totals);
    s.totals.quantity = i32(l.totals + 1);
    s.totals.discount = i32(l.totals + 2);
    s.totals.returns = i32(l.totals + 3);
    s.totals.returns_quantity = i32(l.totals + 4);
    return s;
}

bool valid_day(int d, int m, int y) {
    static constexpr std::array<int, 12> kDays{31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m < 1 || m > 12 || d < 1 || d > kDays[static_cast<std::size_t>(m - 1)]) return false;
    const bool leap = y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
    return !(m == 2 && d == 29 && !leap);
}

}  // namespace

std::optional<SalesCsvName> sales_csv_name(std::string_view n) {
    // VEND_REP_ddmmyy.CSV, VEND_PLU_ddmmyy.CSV
    if (n.size() != 19 || n.substr(0, 5) != "VEND_" || n[8] != '_' || n.substr(15) != ".CSV")
        return std::nullopt;
    SalesKind kind;
    if (n.substr(5, 3) == "REP")
        kind = SalesKind::departments;
    else if (n.substr(5, 3) == "PLU")
        kind = SalesKind::articles;
    else
        return std::nullopt;
    std::int32_t ddmmyy = 0;
    if (!read_i32(n.substr(9, 6), ddmmyy) || n[9] == '-' || n[9] == '+') return std::nullopt;
    const int d = ddmmyy / 10000, m = ddmmyy / 100 % 100, y = 2000 + ddmmyy % 100;
    if (!valid_day(d, m, y)) return std::nullopt;
    return SalesCsvName{kind, y * 10000 + m * 100 + d};
}

SalesFile parse_sales_csv(std::string_view name, std::string_view text) {
    const std::optional<SalesCsvName> what = sales_csv_name(name);
    if (!what) throw SalesCsvError(std::string(name) + ": not a sales file's name");
    SalesFile file;
    file.name = std::string(name);
    file.kind = what->kind;
    file.day = what->day;
    file.text = std::string(text);
    const Layout& layout = what->kind == SalesKind::departments ? kDepartments : kArticles;
    const std::string_view header =
        what->kind == SalesKind::departments ? kDepartmentsHeader : kArticlesHeader;
    if (text.find('\0') != std::string_view::npos)
        throw SalesCsvError(file.name + ": a NUL byte is not text");
    std::size_t pos = 0;
    std::vector<std::string_view> fields;
    for (int number = 1; pos < text.size(); ++number) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const auto where = [&] { return file.name + " line " + std::to_string(number) + ": "; };
        if (line.find('\r') != std::string_view::npos)
            throw SalesCsvError(where() + "a carriage return inside a line");
        if (number == 1) {
            if (line != header) throw SalesCsvError(where() + "not the header the library writes");
            continue;
        }
        if (line.empty()) throw SalesCsvError(where() + "an empty line");
        if (!fit(layout, split(line), fields))
            throw SalesCsvError(where() + "not " + std::to_string(layout.fields) +
                                " fields with whole numbers where numbers belong");
        file.lines.push_back(line_of(layout, fields));
    }
    if (text.empty()) throw SalesCsvError(file.name + ": empty, without even a header");
    return file;
}

std::vector<SalesDay> sales_days(std::vector<SalesFile> files) {
    std::map<std::int32_t, SalesDay> days;
    for (SalesFile& f : files) {
        SalesDay& d = days[f.day];
        d.day = f.day;
        std::optional<SalesFile>& slot =
            f.kind == SalesKind::departments ? d.departments : d.articles;
        if (slot) throw SalesCsvError(f.name + ": a second file of " + slot->name + "'s day");
        slot = std::move(f);
    }
    std::vector<SalesDay> out;
    for (auto& [day, d] : days) out.push_back(std::move(d));
    return out;
}

}  // namespace veltra::tool::serve

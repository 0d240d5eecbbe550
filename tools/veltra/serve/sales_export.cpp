// Sales reports written for people. Amounts are formatted from integer
// cents with integer arithmetic only: the tool never sets a locale, and a
// double would round large takings.
#include "sales_export.hpp"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

namespace veltra::tool::serve {
namespace {

constexpr std::string_view kNoBreakSpace = "\xC2\xA0";
constexpr std::string_view kEuro = "\xE2\x82\xAC";

// |cents| without overflow: INT64_MIN has no positive int64.
std::uint64_t magnitude(Cents cents) {
    return cents < 0 ? 0 - static_cast<std::uint64_t>(cents) : static_cast<std::uint64_t>(cents);
}

// "1234,56" or "1.234,56" from a magnitude, sign left to the caller.
std::string amount_text(std::uint64_t m, bool grouped) {
    std::string units = std::to_string(m / 100);
    if (grouped) {
        for (std::size_t i = units.size(); i > 3; i -= 3) units.insert(i - 3, 1, '.');
    }
    const auto hundredths = static_cast<unsigned>(m % 100);
    units += ',';
    units += static_cast<char>('0' + hundredths / 10);
    units += static_cast<char>('0' + hundredths % 10);
    return units;
}

std::string two_digits(int n) {
    return {static_cast<char>('0' + n / 10 % 10), static_cast<char>('0' + n % 10)};
}

// YYYYMMDD as DD/MM/YYYY, or DD/MM/YY when short.
std::string day_text(std::int32_t day, bool short_year) {
    const int year = day / 10000;
    std::string text = two_digits(day % 100) + '/' + two_digits(day / 100 % 100) + '/';
    text += short_year ? two_digits(year % 100) : std::to_string(year);
    return text;
}

// Code points, not bytes: the euro sign and the no-break space take one
// column of a terminal each.
std::size_t columns(std::string_view utf8) {
    return static_cast<std::size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

std::string pad_left(std::string_view text, std::size_t width) {
    const std::size_t n = columns(text);
    return std::string(n < width ? width - n : 0, ' ') + std::string(text);
}

std::string pad_right(std::string_view text, std::size_t width) {
    const std::size_t n = columns(text);
    return std::string(text) + std::string(n < width ? width - n : 0, ' ');
}

// --- Excel CSV ---------------------------------------------------------

// RFC 4180: a field holding the separator, a quote or a line end is quoted,
// its quotes doubled.
std::string csv_quoted(std::string_view field) {
    if (field.find_first_of(";\"\r\n") == std::string_view::npos) return std::string(field);
    std::string out = "\"";
    for (char c : field) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
    return out;
}

// ="text": the one form Excel keeps as text whatever it looks like. Inside
// the formula's string a quote is doubled; the field is quoted whole only
// when the text itself needs it, since Excel takes ="0012" bare.
std::string excel_text_formula(std::string_view text) {
    std::string formula = "=\"";
    for (char c : text) {
        if (c == '"') formula += '"';
        formula += c;
    }
    formula += '"';
    if (text.find_first_of(";\"\r\n") == std::string_view::npos) return formula;
    return csv_quoted(formula);
}

bool all_digits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A text cell. One that Excel would run as a formula (= + - @, and a tab
// or CR before them) or read as a number (losing leading zeros, or showing
// 2E+12 for a long code) goes in the text formula.
std::string csv_text(std::string_view text) {
    if (text.empty()) return {};
    const char first = text.front();
    const bool formula_like = std::string_view("=+-@\t\r").find(first) != std::string_view::npos;
    if (formula_like || all_digits(text)) return excel_text_formula(text);
    return csv_quoted(text);
}

class CsvLine {
public:
    explicit CsvLine(std::ostream& out) : out_(out) {}
    CsvLine(const CsvLine&) = delete;
    CsvLine& operator=(const CsvLine&) = delete;
    ~CsvLine() { out_ << "\r\n"; }

    // A field already in its CSV form.
    CsvLine& raw(std::string_view field) {
        if (!first_) out_ << ';';
        first_ = false;
        out_ << field;
        return *this;
    }
    CsvLine& text(std::string_view value) { return raw(csv_text(value)); }
    CsvLine& integer(std::int64_t value) { return raw(std::to_string(value)); }
    CsvLine& amount(Cents value) { return raw(decimal_comma(value)); }
    // Sales figures common to every grouping, in the header's order.
    CsvLine& totals(const SalesTotals& t) {
        return amount(t.amount)
            .integer(t.quantity)
            .amount(t.discount)
            .amount(t.returns)
            .integer(t.returns_quantity);
    }

private:
    std::ostream& out_;
    bool first_ = true;
};

constexpr std::string_view kTotalsHeader = "Totale €;Quantità;Sconti €;Resi €;Qt resi";

std::string csv_header(ReportBy by) {
    switch (by) {
        case ReportBy::day:
            return "Data;Casse;" + std::string(kTotalsHeader);
        case ReportBy::department:
            return "Reparto;Descrizione;IVA;IVA %;" + std::string(kTotalsHeader);
        case ReportBy::article:
            return "Codice;EAN;Descrizione;Reparto;IVA %;" + std::string(kTotalsHeader);
        case ReportBy::register_name:
            return "Cassa;Giorni;" + std::string(kTotalsHeader);
    }
    return {};
}

void csv_row(const ReportRow& row, ReportBy by, std::ostream& out) {
    CsvLine line(out);
    switch (by) {
        case ReportBy::day:
            line.raw(day_text(row.day, false)).integer(row.count);
            break;
        case ReportBy::department:
            line.integer(row.number).text(row.descr).text(row.vat_descr).amount(row.vat_rate);
            break;
        case ReportBy::article:
            line.raw(excel_text_formula(std::to_string(row.number)))
                .raw(row.ean.empty() ? std::string() : excel_text_formula(row.ean))
                .text(row.descr)
                .integer(row.department)
                .amount(row.vat_rate);
            break;
        case ReportBy::register_name:
            line.text(row.register_name).integer(row.count);
            break;
    }
    line.totals(row.totals);
}

// The range's line. Counts that add up to nothing meaningful stay empty;
// the day sheet counts the registers looked at, the register sheet the
// days with sales.
void csv_totals(const SalesReport& report, std::ostream& out) {
    CsvLine line(out);
    line.raw("Totale");
    switch (report.by) {
        case ReportBy::day:
            line.integer(static_cast<std::int64_t>(report.registers.size()));
            break;
        case ReportBy::department:
            line.raw("").raw("").raw("");
            break;
        case ReportBy::article:
            line.raw("").raw("").raw("").raw("");
            break;
        case ReportBy::register_name:
            line.integer(report.days);
            break;
    }
    line.totals(report.by == ReportBy::article ? report.articles_total : report.total);
}

// --- the terminal's table ---------------------------------------------

// round(amount * width / largest), at least 1 for any sale; none for a day
// without takings. amount * width can pass int64 (and 32-bit Windows has no
// 128-bit integer), so the product is built a width unit at a time, which
// costs no more than writing the bar.
std::size_t bar_length(Cents amount, Cents largest, int width) {
    if (amount <= 0 || largest <= 0 || width <= 0 || amount > largest) return 0;
    const auto a = static_cast<std::uint64_t>(amount), l = static_cast<std::uint64_t>(largest);
    std::size_t quotient = 0;
    std::uint64_t remainder = 0;  // below l, so remainder + a < 2^64
    for (int i = 0; i < width; ++i) {
        remainder += a;
        if (remainder >= l) {
            remainder -= l;
            ++quotient;
        }
    }
    if (remainder >= l - remainder) ++quotient;  // half or more rounds up
    return std::max<std::size_t>(quotient, 1);
}

}  // namespace

std::string euro_it(Cents cents) {
    std::string text = cents < 0 ? "-" : "";
    text += amount_text(magnitude(cents), true);
    text += kNoBreakSpace;
    text += kEuro;
    return text;
}

std::string decimal_comma(Cents cents) {
    std::string text = cents < 0 ? "-" : "";
    text += amount_text(magnitude(cents), false);
    return text;
}

void write_excel_csv(const SalesReport& report, std::ostream& out) {
    out << "\xEF\xBB\xBF" << csv_header(report.by) << "\r\n";
    for (const ReportRow& row : report.rows) csv_row(row, report.by, out);
    csv_totals(report, out);
}

std::string day_table_text(const SalesReport& report, int bar_width) {
    if (report.rows.empty()) {
        return "nessuna vendita dal " + day_text(report.from, true) + " al " +
               day_text(report.to, true) + "\n";
    }
    struct Line {
        std::string day, amount, quantity;
        std::size_t bar = 0;
    };
    Cents largest = 0;
    for (const ReportRow& row : report.rows) largest = std::max(largest, row.totals.amount);
    std::vector<Line> lines;
    lines.reserve(report.rows.size() + 1);
    for (const ReportRow& row : report.rows) {
        lines.push_back({day_text(row.day, true), euro_it(row.totals.amount),
                         std::to_string(row.totals.quantity),
                         bar_length(row.totals.amount, largest, bar_width)});
    }
    lines.push_back(
        {"totale", euro_it(report.total.amount), std::to_string(report.total.quantity)});

    std::size_t amount_width = columns("totale"), quantity_width = 6;
    for (const Line& l : lines) {
        amount_width = std::max(amount_width, columns(l.amount));
        quantity_width = std::max(quantity_width, columns(l.quantity));
    }
    constexpr std::size_t kDayWidth = 12;
    std::string text = pad_right("giorno", kDayWidth) + pad_right("totale", amount_width) +
                       pad_left("qt", quantity_width + 2) + "\n";
    for (const Line& l : lines) {
        text += pad_right(l.day, kDayWidth) + pad_left(l.amount, amount_width) +
                pad_left(l.quantity, quantity_width + 2);
        if (l.bar > 0) text += "  " + std::string(l.bar, '#');
        text += '\n';
    }
    return text;
}

}  // namespace veltra::tool::serve

// A sales report as an Excel workbook, written with libxlsxwriter. Its
// version in Debian (1.1.4) writes only to a named file, opened with the C
// library's narrow fopen, which on Windows takes no UTF-8: the workbook is
// made under an ASCII name in a private folder and moved into place whole.
#include "sales_xlsx.hpp"

#ifndef VELTRA_WITH_XLSX

namespace veltra::tool::serve {

bool sales_xlsx_available() {
    return false;
}

bool write_sales_xlsx(const SalesReportSet&, const std::filesystem::path&, std::string& error) {
    error = "this veltra was built without XLSX (libxlsxwriter); use --excel-csv";
    return false;
}

}  // namespace veltra::tool::serve

#else

#include <xlsxwriter.h>

#include <algorithm>
#include <array>
#include <optional>
#include <random>
#include <system_error>

namespace veltra::tool::serve {
namespace fs = std::filesystem;
namespace {

// --- the private folder and the move into place -----------------------

std::string random_hex() {
    std::random_device device;
    std::uniform_int_distribution<std::uint32_t> bits;
    constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < 2; ++i) {
        std::uint32_t word = bits(device);
        for (int j = 0; j < 8; ++j, word >>= 4) text += kDigits[word & 15];
    }
    return text;
}

// A path for a message, as UTF-8: on Windows path::string() would go
// through the ANSI code page, and throw on a name it cannot hold.
std::string shown(const fs::path& path) {
    const std::u8string text = path.u8string();
    return {reinterpret_cast<const char*>(text.data()), text.size()};
}

// The path as the C library's fopen takes it: bytes on POSIX, ASCII only
// on Windows, where a narrow name goes through the ANSI code page.
std::optional<std::string> c_library_path(const fs::path& path) {
#ifdef _WIN32
    for (auto c : path.native()) {
        if (c == 0 || c >= 0x80) return std::nullopt;
    }
#endif
    return path.string();
}

// A folder of the user's alone, removed with what is left in it.
class PrivateFolder {
public:
    PrivateFolder() = default;
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;
    ~PrivateFolder() {
        if (path_.empty()) return;
        std::error_code ec;
        fs::remove_all(path_, ec);
    }

    // Makes a new folder in base; false when base cannot hold one.
    bool make_in(const fs::path& base) {
        for (int attempt = 0; attempt < 8; ++attempt) {
            fs::path candidate = base / ("veltra-xlsx-" + random_hex());
            std::error_code ec;
            if (fs::create_directory(candidate, ec)) {
                path_ = std::move(candidate);
                fs::permissions(path_, fs::perms::owner_all, ec);
                return true;
            }
            if (ec) return false;  // not an existing name: base itself fails
        }
        return false;
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// The temporary folder first, the target's own folder when that has no
// path the C library can open.
bool make_work_folder(PrivateFolder& folder, const fs::path& target_dir, std::string& error) {
    std::error_code ec;
    fs::path temp = fs::temp_directory_path(ec);
    for (const fs::path& base : {ec ? fs::path() : temp, target_dir}) {
        if (base.empty() || !c_library_path(base)) continue;
        if (folder.make_in(base)) return true;
    }
    error = "no folder to write the workbook in: the temporary folder and " + shown(target_dir) +
            " refuse a new folder or have a name that is not ASCII";
    return false;
}

// rename is atomic where both lie on one file system; elsewhere the copy
// goes next to the target first, so that the target is whole or untouched.
bool move_into_place(const fs::path& from, const fs::path& to, std::string& error) {
    std::error_code ec;
    fs::rename(from, to, ec);
    if (!ec) return true;
    const fs::path near = to.parent_path() / (".veltra-xlsx-" + random_hex() + ".tmp");
    if (fs::copy_file(from, near, ec)) {
        fs::rename(near, to, ec);
        if (!ec) return true;
    }
    std::error_code ignored;
    fs::remove(near, ignored);
    error = "cannot write " + shown(to) + ": " + ec.message();
    return false;
}

// --- the sheets --------------------------------------------------------

struct Formats {
    lxw_format* header = nullptr;
    lxw_format* text = nullptr;
    lxw_format* date = nullptr;
    lxw_format* euro = nullptr;
    lxw_format* percent = nullptr;
    lxw_format* total_label = nullptr;
    lxw_format* total_count = nullptr;
    lxw_format* total_euro = nullptr;
};

constexpr const char* kEuroFormat = "#,##0.00 \"\xE2\x82\xAC\"";

lxw_format* add_format(lxw_workbook* book, bool bold, const char* number_format) {
    lxw_format* format = workbook_add_format(book);
    if (format == nullptr) return nullptr;
    if (bold) format_set_bold(format);
    if (number_format != nullptr) format_set_num_format(format, number_format);
    return format;
}

bool make_formats(lxw_workbook* book, Formats& f) {
    f.header = add_format(book, true, nullptr);
    f.text = add_format(book, false, "@");
    f.date = add_format(book, false, "dd/mm/yyyy");
    f.euro = add_format(book, false, kEuroFormat);
    f.percent = add_format(book, false, "0.00%");
    f.total_label = add_format(book, true, nullptr);
    f.total_count = add_format(book, true, "0");
    f.total_euro = add_format(book, true, kEuroFormat);
    return f.header && f.text && f.date && f.euro && f.percent && f.total_label && f.total_count &&
           f.total_euro;
}

struct Column {
    const char* title;
    double width;
};

// A sales figure: where it sits in SalesTotals, and whether it is money.
struct Figure {
    std::int64_t SalesTotals::*field;
    bool euro;
};
constexpr std::array<Figure, 5> kFigures = {{{&SalesTotals::amount, true},
                                             {&SalesTotals::quantity, false},
                                             {&SalesTotals::discount, true},
                                             {&SalesTotals::returns, true},
                                             {&SalesTotals::returns_quantity, false}}};
constexpr std::array<Column, 5> kFigureColumns = {{{"Totale \xE2\x82\xAC", 15},
                                                   {"Quantit\xC3\xA0", 11},
                                                   {"Sconti \xE2\x82\xAC", 13},
                                                   {"Resi \xE2\x82\xAC", 13},
                                                   {"Qt resi", 9}}};

// One worksheet being written. The first failure is kept; later calls do
// nothing, and the writer asks once at the end.
class Sheet {
public:
    Sheet(lxw_workbook* book, const char* name, const Formats& formats)
        : ws_(workbook_add_worksheet(book, name)), f_(formats) {
        if (ws_ == nullptr) fail(LXW_ERROR_MEMORY_MALLOC_FAILED);
    }

    lxw_worksheet* worksheet() const { return ws_; }
    lxw_error error() const { return error_; }
    void fail(lxw_error e) {
        if (error_ == LXW_NO_ERROR) error_ = e;
    }
    void check(lxw_error e) {
        if (e != LXW_NO_ERROR) fail(e);
    }
    bool ok() const { return error_ == LXW_NO_ERROR; }

    // The bold header row, frozen, with its filter over the rows below.
    void header(std::initializer_list<Column> leading, bool figures, std::size_t rows,
                std::optional<Column> trailing = std::nullopt) {
        lxw_col_t col = 0;
        auto put = [&](const Column& c) {
            if (!ok()) return;
            check(worksheet_write_string(ws_, 0, col, c.title, f_.header));
            if (ok()) check(worksheet_set_column(ws_, col, col, c.width, nullptr));
            ++col;
        };
        for (const Column& c : leading) put(c);
        if (figures) {
            for (const Column& c : kFigureColumns) put(c);
        }
        if (trailing) put(*trailing);
        if (!ok()) return;
        worksheet_freeze_panes(ws_, 1, 0);
        check(worksheet_autofilter(ws_, 0, 0, static_cast<lxw_row_t>(rows), col - 1));
        // Printed across A4, one page wide, the header on every page.
        worksheet_set_paper(ws_, 9);
        worksheet_set_landscape(ws_);
        worksheet_fit_to_pages(ws_, 1, 0);
        if (ok()) check(worksheet_repeat_rows(ws_, 0, 0));
    }

    void text(lxw_row_t row, lxw_col_t col, const std::string& value) {
        if (ok() && !value.empty())
            check(worksheet_write_string(ws_, row, col, value.c_str(), f_.text));
    }
    void number(lxw_row_t row, lxw_col_t col, double value, lxw_format* format = nullptr) {
        if (ok()) check(worksheet_write_number(ws_, row, col, value, format));
    }
    void euros(lxw_row_t row, lxw_col_t col, Cents cents) {
        number(row, col, static_cast<double>(cents) / 100.0, f_.euro);
    }
    void date(lxw_row_t row, lxw_col_t col, std::int32_t day) {
        lxw_datetime when{day / 10000, day / 100 % 100, day % 100, 0, 0, 0.0};
        if (when.year < 1900 || when.year > 9999 || when.month < 1 || when.month > 12 ||
            when.day < 1 || when.day > 31) {
            fail(LXW_ERROR_PARAMETER_VALIDATION);
            return;
        }
        if (ok()) check(worksheet_write_datetime(ws_, row, col, &when, f_.date));
    }
    void figures(lxw_row_t row, lxw_col_t first, const SalesTotals& t) {
        for (std::size_t i = 0; i < kFigures.size(); ++i) {
            const auto col = static_cast<lxw_col_t>(first + i);
            const std::int64_t value = t.*kFigures[i].field;
            if (kFigures[i].euro) {
                euros(row, col, value);
            } else {
                number(row, col, static_cast<double>(value));
            }
        }
    }

    // The bold totals row under rows data rows. A figure the rows add up to
    // is a SUM over them that carries its value, for viewers that do not
    // recalculate; one they do not (a report cut to its largest rows)
    // stays the range's figure as a plain number.
    void totals(std::size_t rows, lxw_col_t first, const SalesTotals& total,
                const SalesTotals& sum_of_rows, bool rows_add_up) {
        const auto row = static_cast<lxw_row_t>(rows + 1);
        if (ok()) check(worksheet_write_string(ws_, row, 0, "Totale", f_.total_label));
        for (std::size_t i = 0; i < kFigures.size(); ++i) {
            const auto col = static_cast<lxw_col_t>(first + i);
            const std::int64_t value = total.*kFigures[i].field;
            const double shown =
                kFigures[i].euro ? static_cast<double>(value) / 100.0 : static_cast<double>(value);
            lxw_format* format = kFigures[i].euro ? f_.total_euro : f_.total_count;
            if (!ok()) return;
            if (rows > 0 && rows_add_up && sum_of_rows.*kFigures[i].field == value) {
                const char letter = static_cast<char>('A' + col);
                const std::string formula = "=SUM(" + std::string(1, letter) + "2:" + letter +
                                            std::to_string(rows + 1) + ")";
                check(worksheet_write_formula_num(ws_, row, col, formula.c_str(), format, shown));
            } else {
                check(worksheet_write_number(ws_, row, col, shown, format));
            }
        }
    }

private:
    lxw_worksheet* ws_;
    const Formats& f_;
    lxw_error error_ = LXW_NO_ERROR;
};

// The rows' sums, or false when one passes int64.
bool add_rows(const std::vector<ReportRow>& rows, SalesTotals& sum) {
    for (const ReportRow& r : rows) {
        for (const Figure& f : kFigures) {
            if (__builtin_add_overflow(sum.*f.field, r.totals.*f.field, &(sum.*f.field))) {
                return false;
            }
        }
    }
    return true;
}

void write_totals(Sheet& sheet, const std::vector<ReportRow>& rows, lxw_col_t first,
                  const SalesTotals& total) {
    SalesTotals sum;
    const bool added = add_rows(rows, sum);
    sheet.totals(rows.size(), first, total, sum, added);
}

// Descriptions get the width of the longest, within reason.
double text_width(const std::vector<ReportRow>& rows, std::string ReportRow::*field) {
    std::size_t longest = 12;
    for (const ReportRow& r : rows) {
        const auto& s = r.*field;
        longest = std::max<std::size_t>(
            longest, static_cast<std::size_t>(std::count_if(s.begin(), s.end(), [](char c) {
                return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
            })));
    }
    return static_cast<double>(std::min<std::size_t>(longest + 2, 50));
}

lxw_error days_sheet(lxw_workbook* book, const Formats& f, const SalesReport& r) {
    Sheet s(book, "Giorni", f);
    const auto n = r.rows.size();
    s.header({{"Data", 12}, {"Casse", 8}}, true, n);
    for (std::size_t i = 0; i < n && s.ok(); ++i) {
        const auto row = static_cast<lxw_row_t>(i + 1);
        s.date(row, 0, r.rows[i].day);
        s.number(row, 1, r.rows[i].count);
        s.figures(row, 2, r.rows[i].totals);
    }
    write_totals(s, r.rows, 2, r.total);
    s.number(static_cast<lxw_row_t>(n + 1), 1, static_cast<double>(r.registers.size()),
             f.total_count);
    if (!s.ok() || n == 0) return s.error();

    // The daily takings as columns beside the table.
    lxw_chart* chart = workbook_add_chart(book, LXW_CHART_COLUMN);
    if (chart == nullptr) return LXW_ERROR_MEMORY_MALLOC_FAILED;
    const std::string last = std::to_string(n + 1);
    const std::string categories = "=Giorni!$A$2:$A$" + last;
    const std::string values = "=Giorni!$C$2:$C$" + last;
    lxw_chart_series* series = chart_add_series(chart, categories.c_str(), values.c_str());
    if (series == nullptr) return LXW_ERROR_MEMORY_MALLOC_FAILED;
    chart_series_set_name(series, kFigureColumns[0].title);
    chart_title_set_name(chart, "Vendite per giorno");
    chart_legend_set_position(chart, LXW_CHART_LEGEND_NONE);
    chart_axis_set_num_format(chart->y_axis, "#,##0 \"\xE2\x82\xAC\"");
    chart_axis_set_num_format(chart->x_axis, "dd/mm");
    return worksheet_insert_chart(s.worksheet(), 1, 8, chart);
}

lxw_error departments_sheet(lxw_workbook* book, const Formats& f, const SalesReport& r) {
    Sheet s(book, "Reparti", f);
    const auto n = r.rows.size();
    s.header({{"Reparto", 9},
              {"Descrizione", text_width(r.rows, &ReportRow::descr)},
              {"IVA", text_width(r.rows, &ReportRow::vat_descr)},
              {"IVA %", 8}},
             true, n, Column{"Quota %", 9});
    for (std::size_t i = 0; i < n && s.ok(); ++i) {
        const auto row = static_cast<lxw_row_t>(i + 1);
        const ReportRow& d = r.rows[i];
        s.number(row, 0, d.number);
        s.text(row, 1, d.descr);
        s.text(row, 2, d.vat_descr);
        s.number(row, 3, d.vat_rate / 10000.0, f.percent);
        s.figures(row, 4, d.totals);
        // Its share of the takings; none when the range took nothing.
        if (r.total.amount != 0) {
            s.number(row, 9,
                     static_cast<double>(d.totals.amount) / static_cast<double>(r.total.amount),
                     f.percent);
        }
    }
    write_totals(s, r.rows, 4, r.total);
    return s.error();
}

lxw_error articles_sheet(lxw_workbook* book, const Formats& f, const SalesReport& r) {
    Sheet s(book, "Articoli", f);
    const auto n = r.rows.size();
    s.header({{"Codice", 9},
              {"EAN", 16},
              {"Descrizione", text_width(r.rows, &ReportRow::descr)},
              {"Reparto", 9},
              {"IVA %", 8}},
             true, n);
    for (std::size_t i = 0; i < n && s.ok(); ++i) {
        const auto row = static_cast<lxw_row_t>(i + 1);
        const ReportRow& a = r.rows[i];
        // Codes are text: a number cell drops leading zeros and shows a
        // 13-digit EAN as 1.23E+12.
        s.text(row, 0, std::to_string(a.number));
        s.text(row, 1, a.ean);
        s.text(row, 2, a.descr);
        s.number(row, 3, a.department);
        s.number(row, 4, a.vat_rate / 10000.0, f.percent);
        s.figures(row, 5, a.totals);
    }
    write_totals(s, r.rows, 5, r.articles_total);
    return s.error();
}

lxw_error registers_sheet(lxw_workbook* book, const Formats& f, const SalesReport& r) {
    Sheet s(book, "Casse", f);
    const auto n = r.rows.size();
    s.header({{"Cassa", text_width(r.rows, &ReportRow::register_name)}, {"Giorni", 8}}, true, n);
    for (std::size_t i = 0; i < n && s.ok(); ++i) {
        const auto row = static_cast<lxw_row_t>(i + 1);
        s.text(row, 0, r.rows[i].register_name);
        s.number(row, 1, r.rows[i].count);
        s.figures(row, 2, r.rows[i].totals);
    }
    write_totals(s, r.rows, 2, r.total);
    s.number(static_cast<lxw_row_t>(n + 1), 1, r.days, f.total_count);
    return s.error();
}

// Closes the workbook on every path: libxlsxwriter frees it only there.
struct WorkbookCloser {
    lxw_workbook* book;
    ~WorkbookCloser() {
        if (book != nullptr) workbook_close(book);
    }
    lxw_error close() {
        lxw_error e = workbook_close(book);
        book = nullptr;
        return e;
    }
};

bool write_workbook(const SalesReportSet& reports, const std::string& file, std::string tmpdir,
                    std::string& error) {
    lxw_workbook_options options{};
    options.tmpdir = tmpdir.data();
    WorkbookCloser closer{workbook_new_opt(file.c_str(), &options)};
    if (closer.book == nullptr) {
        error = "cannot start the workbook";
        return false;
    }
    Formats formats;
    if (!make_formats(closer.book, formats)) {
        error = "cannot start the workbook";
        return false;
    }
    for (const SalesReport* r :
         {&reports.by_day, &reports.by_department, &reports.by_article, &reports.by_register}) {
        if (r->rows.size() + 2 > LXW_ROW_MAX) {
            error = "too many rows for a worksheet: " + std::to_string(r->rows.size());
            return false;
        }
    }
    lxw_error e = days_sheet(closer.book, formats, reports.by_day);
    if (e == LXW_NO_ERROR) e = departments_sheet(closer.book, formats, reports.by_department);
    if (e == LXW_NO_ERROR) e = articles_sheet(closer.book, formats, reports.by_article);
    if (e == LXW_NO_ERROR) e = registers_sheet(closer.book, formats, reports.by_register);
    if (e != LXW_NO_ERROR) {
        error = std::string("cannot fill the workbook: ") + lxw_strerror(e);
        return false;
    }
    e = closer.close();
    if (e != LXW_NO_ERROR) {
        error = std::string("cannot write the workbook: ") + lxw_strerror(e);
        return false;
    }
    return true;
}

}  // namespace

bool sales_xlsx_available() {
    return true;
}

bool write_sales_xlsx(const SalesReportSet& reports, const fs::path& file, std::string& error) {
    std::error_code ec;
    if (fs::is_directory(file, ec)) {
        error = shown(file) + " is a folder";
        return false;
    }
    const fs::path target_dir = file.has_parent_path() ? file.parent_path() : fs::path(".");
    if (!fs::is_directory(target_dir, ec)) {
        error = "no folder " + shown(target_dir);
        return false;
    }
    PrivateFolder work;
    if (!make_work_folder(work, target_dir, error)) return false;
    const fs::path made = work.path() / "sales.xlsx";
    const auto made_name = c_library_path(made);
    const auto tmpdir = c_library_path(work.path());
    if (!made_name || !tmpdir) {
        error = "the work folder's name is not ASCII: " + shown(work.path());
        return false;
    }
    if (!write_workbook(reports, *made_name, *tmpdir, error)) return false;
    return move_into_place(made, file, error);
}

}  // namespace veltra::tool::serve

#endif

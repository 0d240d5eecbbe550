// The writers that show a sales report to people: euros as Italians write
// them, the CSV Excel opens as it is, the terminal's day table, and the
// workbook read back by openpyxl.
#include "sales_export.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "sales_xlsx.hpp"
#include "test_support.hpp"

#ifndef _WIN32
#include <sys/stat.h>
#endif
#ifdef VELTRA_SALES_XLSX_CHECK
#include <sys/wait.h>

#include <nlohmann/json.hpp>
#endif

namespace veltra::test {
namespace {

namespace fs = std::filesystem;
using namespace tool::serve;

// The no-break space and the euro sign, as UTF-8.
const std::string kEur = "\xC2\xA0\xE2\x82\xAC";

TEST(SalesExportAmounts, EurosAndDecimalCommas) {
    struct Case {
        Cents cents;
        std::string euro;
        std::string plain;
    };
    const std::vector<Case> cases = {
        {0, "0,00", "0,00"},
        {5, "0,05", "0,05"},
        {-5, "-0,05", "-0,05"},
        {99, "0,99", "0,99"},
        {100, "1,00", "1,00"},
        {-100, "-1,00", "-1,00"},
        {99999, "999,99", "999,99"},
        {100000, "1.000,00", "1000,00"},
        {123456, "1.234,56", "1234,56"},
        {-123456, "-1.234,56", "-1234,56"},
        {100000000, "1.000.000,00", "1000000,00"},
        {Cents{1} << 40, "10.995.116.277,76", "10995116277,76"},
        {std::numeric_limits<Cents>::max(), "92.233.720.368.547.758,07", "92233720368547758,07"},
        {std::numeric_limits<Cents>::min(), "-92.233.720.368.547.758,08", "-92233720368547758,08"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cents);
        EXPECT_EQ(euro_it(c.cents), c.euro + kEur);
        EXPECT_EQ(decimal_comma(c.cents), c.plain);
    }
}

SalesTotals totals(Cents amount, std::int64_t quantity, Cents discount = 0, Cents returns = 0,
                   std::int64_t returns_quantity = 0) {
    return {amount, quantity, discount, returns, returns_quantity};
}

ReportRow day_row(std::int32_t day, std::int32_t registers, SalesTotals t) {
    ReportRow r;
    r.day = day;
    r.count = registers;
    r.totals = t;
    return r;
}

ReportRow department_row(std::int32_t number, std::string descr, std::string vat_descr,
                         std::int32_t vat_rate, SalesTotals t) {
    ReportRow r;
    r.number = number;
    r.descr = std::move(descr);
    r.vat_descr = std::move(vat_descr);
    r.vat_rate = vat_rate;
    r.totals = t;
    return r;
}

ReportRow article_row(std::int32_t number, std::string ean, std::string descr,
                      std::int32_t department, std::int32_t vat_rate, SalesTotals t) {
    ReportRow r = department_row(number, std::move(descr), "", vat_rate, t);
    r.ean = std::move(ean);
    r.department = department;
    return r;
}

ReportRow register_row(std::string name, std::int32_t days, SalesTotals t) {
    ReportRow r;
    r.register_name = std::move(name);
    r.count = days;
    r.totals = t;
    return r;
}

SalesReport report_of(ReportBy by, std::vector<ReportRow> rows) {
    SalesReport r;
    r.from = 20261201;
    r.to = 20261231;
    r.by = by;
    r.registers = {"cassa1", "cassa2"};
    r.days = 2;
    r.rows = std::move(rows);
    for (const ReportRow& row : r.rows) r.total += row.totals;
    r.articles_total = r.total;
    return r;
}

std::string excel_csv(const SalesReport& report) {
    std::ostringstream out;
    write_excel_csv(report, out);
    return out.str();
}

// Each grouping's bytes whole: the byte-order mark, ';', CR LF, decimal
// commas, codes and formula-like texts in ="...", RFC 4180 quoting.
TEST(SalesExportExcelCsv, EachGroupingAsExcelInItalianReadsIt) {
    struct Case {
        const char* name;
        SalesReport report;
        std::string csv;
    };
    SalesReport articles = report_of(
        ReportBy::article,
        {article_row(12, "0012345678905", "CAFF\xC3\x88", 3, 1000, totals(3000000001, 7, 50)),
         article_row(5, "", "+39 SIM", 1, 2200, totals(1500, 1, 0, -200, 1)),
         article_row(40, "8001234567890", "@SUM(A1)", 7, 400, totals(99, 1))});
    // The articles' sums are their own: less than the takings here.
    articles.total = totals(9999999999, 99);
    const std::vector<Case> cases = {
        {"day",
         report_of(ReportBy::day, {day_row(20261201, 2, totals(123456, 42, 100, 250, 1)),
                                   day_row(20261202, 1, totals(61728, 21))}),
         "\xEF\xBB\xBF"
         "Data;Casse;Totale \xE2\x82\xAC;Quantit\xC3\xA0;Sconti \xE2\x82\xAC;Resi "
         "\xE2\x82\xAC;Qt resi\r\n"
         "01/12/2026;2;1234,56;42;1,00;2,50;1\r\n"
         "02/12/2026;1;617,28;21;0,00;0,00;0\r\n"
         "Totale;2;1851,84;63;1,00;2,50;1\r\n"},
        {"department",
         report_of(ReportBy::department,
                   {department_row(3, "PANE; FRESCO", "IVA 10%", 1000, totals(500, 5)),
                    department_row(1, "=cmd|' /C calc'!A0", "IVA 22%", 2200, totals(-5, 1)),
                    department_row(7, "Detto \"buono\"", "-4", 400, totals(1, 1))}),
         "\xEF\xBB\xBF"
         "Reparto;Descrizione;IVA;IVA %;Totale \xE2\x82\xAC;Quantit\xC3\xA0;Sconti "
         "\xE2\x82\xAC;Resi \xE2\x82\xAC;Qt resi\r\n"
         "3;\"PANE; FRESCO\";IVA 10%;10,00;5,00;5;0,00;0,00;0\r\n"
         "1;=\"=cmd|' /C calc'!A0\";IVA 22%;22,00;-0,05;1;0,00;0,00;0\r\n"
         "7;\"Detto \"\"buono\"\"\";=\"-4\";4,00;0,01;1;0,00;0,00;0\r\n"
         "Totale;;;;4,96;7;0,00;0,00;0\r\n"},
        {"article", articles,
         "\xEF\xBB\xBF"
         "Codice;EAN;Descrizione;Reparto;IVA %;Totale \xE2\x82\xAC;Quantit\xC3\xA0;Sconti "
         "\xE2\x82\xAC;Resi \xE2\x82\xAC;Qt resi\r\n"
         "=\"12\";=\"0012345678905\";CAFF\xC3\x88;3;10,00;30000000,01;7;0,50;0,00;0\r\n"
         "=\"5\";;=\"+39 SIM\";1;22,00;15,00;1;0,00;-2,00;1\r\n"
         "=\"40\";=\"8001234567890\";=\"@SUM(A1)\";7;4,00;0,99;1;0,00;0,00;0\r\n"
         "Totale;;;;;30000016,00;9;0,50;-2,00;1\r\n"},
        {"register",
         report_of(ReportBy::register_name, {register_row("cassa1", 2, totals(100, 1)),
                                             register_row("0042", 1, totals(200, 2)),
                                             register_row("bar \"sud\";2", 1, totals(300, 3))}),
         "\xEF\xBB\xBF"
         "Cassa;Giorni;Totale \xE2\x82\xAC;Quantit\xC3\xA0;Sconti \xE2\x82\xAC;Resi "
         "\xE2\x82\xAC;Qt resi\r\n"
         "cassa1;2;1,00;1;0,00;0,00;0\r\n"
         "=\"0042\";1;2,00;2;0,00;0,00;0\r\n"
         "\"bar \"\"sud\"\";2\";1;3,00;3;0,00;0,00;0\r\n"
         "Totale;2;6,00;6;0,00;0,00;0\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(excel_csv(c.report), c.csv);
    }
}

TEST(SalesExportExcelCsv, AFormulaLikeTextThatNeedsQuotingIsQuotedWhole) {
    SalesReport report =
        report_of(ReportBy::department, {department_row(1, "=\"a\";b", "", 0, totals(1, 1))});
    const std::string csv = excel_csv(report);
    // ="=""a"";b" as Excel's formula, then quoted for the ';'.
    EXPECT_NE(csv.find("\r\n1;\"=\"\"=\"\"\"\"a\"\"\"\";b\"\"\";;0,00;"), std::string::npos) << csv;
}

// --- the terminal's table ---------------------------------------------

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::size_t bar_of(const std::string& line) {
    const auto at = line.find('#');
    if (at == std::string::npos) return 0;
    EXPECT_EQ(line.find_first_not_of('#', at), std::string::npos) << line;
    return line.size() - at;
}

// Code points before the euro sign: where a terminal shows it.
std::size_t euro_column(const std::string& line) {
    const auto at = line.find("\xE2\x82\xAC");
    std::size_t column = 0;
    for (std::size_t i = 0; i < at && i < line.size(); ++i) {
        if ((static_cast<unsigned char>(line[i]) & 0xC0) != 0x80) ++column;
    }
    return column;
}

TEST(SalesExportDayTable, TwoDaysAsTheTerminalShowsThem) {
    const SalesReport report = report_of(ReportBy::day, {day_row(20261201, 2, totals(123456, 42)),
                                                         day_row(20261202, 1, totals(61728, 21))});
    EXPECT_EQ(day_table_text(report, 40),
              "giorno      totale          qt\n"
              "01/12/26    1.234,56" +
                  kEur + "      42  " + std::string(40, '#') +
                  "\n"
                  "02/12/26      617,28" +
                  kEur + "      21  " + std::string(20, '#') +
                  "\n"
                  "totale      1.851,84" +
                  kEur + "      63\n");
}

TEST(SalesExportDayTable, BarsScaleToTheLargestDayAndRound) {
    struct Case {
        const char* name;
        std::vector<Cents> amounts;
        int width;
        std::vector<std::size_t> bars;
    };
    const Cents big = Cents{1} << 62;
    const std::vector<Case> cases = {
        {"proportional and rounded",
         {1000, 500, 249, 251, 12, 0, -300},
         40,
         {40, 20, 10, 10, 1, 0, 0}},
        {"half rounds up", {1000, 25, 24}, 20, {20, 1, 1}},
        {"amounts past int64 once scaled", {big, big / 2, big / 3, 1}, 60, {60, 30, 20, 1}},
        {"other width", {300, 100}, 9, {9, 3}},
        {"no day with takings", {0, -5}, 40, {0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<ReportRow> rows;
        for (std::size_t i = 0; i < c.amounts.size(); ++i) {
            rows.push_back(
                day_row(20261201 + static_cast<std::int32_t>(i), 1, totals(c.amounts[i], 1)));
        }
        const auto lines = lines_of(day_table_text(report_of(ReportBy::day, rows), c.width));
        ASSERT_EQ(lines.size(), c.amounts.size() + 2);
        for (std::size_t i = 0; i < c.bars.size(); ++i) {
            EXPECT_EQ(bar_of(lines[i + 1]), c.bars[i]) << lines[i + 1];
        }
        EXPECT_EQ(bar_of(lines.back()), 0U);
    }
}

// Code points up to the bar (or the line's end): where the quantities end.
std::size_t quantity_end(const std::string& line) {
    const auto bar = line.find("  #");
    std::size_t column = 0;
    for (std::size_t i = 0; i < std::min(bar, line.size()); ++i) {
        if ((static_cast<unsigned char>(line[i]) & 0xC0) != 0x80) ++column;
    }
    return column;
}

TEST(SalesExportDayTable, ColumnsAlignWithWideAmounts) {
    const SalesReport report =
        report_of(ReportBy::day,
                  {day_row(20261201, 1, totals(123456789, 12345678)),
                   day_row(20261202, 1, totals(5, 1)), day_row(20261203, 1, totals(-70000, 3))});
    const auto lines = lines_of(day_table_text(report, 40));
    ASSERT_EQ(lines.size(), 5U);
    EXPECT_EQ(lines[1].substr(0, 12), "01/12/26    ");
    EXPECT_NE(lines[3].find(" -700,00" + kEur), std::string::npos);
    // Amounts and quantities end in one column on every line, the header's
    // "qt" too, though the euro sign takes three bytes and the space two.
    for (std::size_t i = 1; i < lines.size(); ++i) {
        SCOPED_TRACE(lines[i]);
        EXPECT_EQ(euro_column(lines[i]), euro_column(lines[1]));
        EXPECT_EQ(quantity_end(lines[i]), quantity_end(lines[0]));
    }
    EXPECT_EQ(lines[0].substr(lines[0].size() - 2), "qt");
    EXPECT_EQ(euro_column(lines[1]), 12U + 13U);  // "1.234.567,89 " after the day
}

TEST(SalesExportDayTable, ARangeWithoutSalesSaysSo) {
    EXPECT_EQ(day_table_text(report_of(ReportBy::day, {}), 40),
              "nessuna vendita dal 01/12/26 al 31/12/26\n");
}

// --- the workbook -------------------------------------------------------

SalesReportSet varied_set() {
    SalesReportSet set;
    set.by_day =
        report_of(ReportBy::day, {day_row(20261201, 2, totals(3000000001, 42, 100, -250, 1)),
                                  day_row(20261202, 1, totals(61728, 21)),
                                  day_row(20261231, 2, totals(-500, 1, 0, -500, 1))});
    set.by_department = report_of(
        ReportBy::department,
        {department_row(3, "PANE; FRESCO", "IVA 10%", 1000, totals(3000000000, 40, 100, 0, 0)),
         department_row(1, "CAFF\xC3\x88 \"BAR\"", "IVA 22%", 2200, totals(61729, 23)),
         department_row(7, "=RESI", "IVA 4%", 400, totals(-500, 1, 0, -750, 2))});
    set.by_department.total = set.by_day.total;
    set.by_article =
        report_of(ReportBy::article,
                  {article_row(12, "0012345678905", "CAFF\xC3\x88", 1, 2200, totals(61000, 20)),
                   article_row(7, "", "PANE SFUSO", 3, 1000, totals(2999999999, 30)),
                   article_row(40, "0000000000017", "@RESO", 7, 400, totals(-500, 1, 0, -500, 1))});
    set.by_article.articles_total = set.by_article.total;
    // The workbook counts the departments' takings on the other sheets.
    set.by_article.total = set.by_day.total;
    set.by_register = report_of(ReportBy::register_name,
                                {register_row("cassa1", 3, totals(3000000000, 50, 100, -250, 1)),
                                 register_row("0042", 2, totals(61229, 14, 0, -500, 1))});
    set.by_register.days = 3;
    return set;
}

std::vector<std::string> names_in(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    return names;
}

bool is_zip(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    char head[4] = {};
    in.read(head, 4);
    return in && std::string(head, 4) == "PK\x03\x04";
}

// A fresh target folder, and a fresh temporary folder that the writer must
// leave empty.
class SalesXlsx : public ::testing::Test {
protected:
    void SetUp() override {
        if (!sales_xlsx_available()) {
            std::string error;
            EXPECT_FALSE(write_sales_xlsx(varied_set(), out_.path() / "v.xlsx", error));
            EXPECT_EQ(error, "this veltra was built without XLSX (libxlsxwriter); use --excel-csv");
            EXPECT_TRUE(names_in(out_.path()).empty());
            GTEST_SKIP() << "built without XLSX";
        }
    }
    void TearDown() override { EXPECT_TRUE(names_in(temp_.path()).empty()); }

    TempDir out_;
    TempDir temp_;
    EnvVar tmpdir_{"TMPDIR", temp_.path().string()};
    EnvVar tmp_{"TMP", temp_.path().string()};
    EnvVar temp_var_{"TEMP", temp_.path().string()};
};

TEST_F(SalesXlsx, WritesTheWorkbookUnderItsNameAndNothingElse) {
    // A name the C library's narrow fopen could not take on Windows.
    const fs::path file = out_.path() / u8"vendite caff\u00E8.xlsx";
    std::ofstream(file) << "an older file";
    std::string error;
    ASSERT_TRUE(write_sales_xlsx(varied_set(), file, error)) << error;
    EXPECT_TRUE(is_zip(file));
    EXPECT_EQ(names_in(out_.path()), std::vector<std::string>{file.filename().string()});
}

#ifndef _WIN32
// From a temporary folder on another file system, where rename cannot go:
// the copy lands beside the target and is renamed there.
TEST_F(SalesXlsx, MovesTheWorkbookAcrossFileSystemsWhole) {
    std::optional<TempDir> shm;
    {
        const EnvVar at_shm("TMPDIR", "/dev/shm");
        if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm";
        shm.emplace();
    }
    struct stat a {};
    struct stat b {};
    if (stat(shm->path().c_str(), &a) != 0 || stat(out_.path().c_str(), &b) != 0 ||
        a.st_dev == b.st_dev) {
        GTEST_SKIP() << "/dev/shm is on the file system of " << out_.path();
    }
    const EnvVar tmpdir("TMPDIR", shm->path().string());
    const fs::path file = out_.path() / "vendite.xlsx";
    std::string error;
    ASSERT_TRUE(write_sales_xlsx(varied_set(), file, error)) << error;
    EXPECT_TRUE(is_zip(file));
    EXPECT_EQ(names_in(out_.path()), std::vector<std::string>{"vendite.xlsx"});
    EXPECT_TRUE(names_in(shm->path()).empty());
}
#endif

TEST_F(SalesXlsx, RefusesATargetItCannotWriteAndLeavesNothing) {
    fs::create_directory(out_.path() / "a folder");
    struct Case {
        const char* name;
        fs::path file;
    };
    const std::vector<Case> cases = {
        {"folder missing", out_.path() / "missing" / "v.xlsx"},
        {"target is a folder", out_.path() / "a folder"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        EXPECT_FALSE(write_sales_xlsx(varied_set(), c.file, error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(names_in(out_.path()), std::vector<std::string>{"a folder"});
        EXPECT_TRUE(names_in(out_.path() / "a folder").empty());
    }
}

TEST_F(SalesXlsx, RefusesADayThatIsNoDateAndLeavesNothing) {
    SalesReportSet set = varied_set();
    set.by_day.rows[1].day = 20261302;
    std::string error;
    EXPECT_FALSE(write_sales_xlsx(set, out_.path() / "v.xlsx", error));
    EXPECT_NE(error.find("cannot fill the workbook"), std::string::npos) << error;
    EXPECT_TRUE(names_in(out_.path()).empty());
}

#ifdef VELTRA_SALES_XLSX_CHECK
// An article list cut to its largest rows: the rows fall short of the
// articles' sums.
SalesReportSet cut_set() {
    SalesReportSet set = varied_set();
    set.by_article.rows.pop_back();
    return set;
}

nlohmann::json totals_json(const SalesTotals& t) {
    return {{"amount", t.amount},
            {"quantity", t.quantity},
            {"discount", t.discount},
            {"returns", t.returns},
            {"returns_quantity", t.returns_quantity}};
}

nlohmann::json report_json(const SalesReport& r) {
    nlohmann::json rows = nlohmann::json::array();
    for (const ReportRow& row : r.rows) {
        nlohmann::json j = totals_json(row.totals);
        j["day"] = row.day;
        j["number"] = row.number;
        j["register"] = row.register_name;
        j["descr"] = row.descr;
        j["ean"] = row.ean;
        j["department"] = row.department;
        j["vat_descr"] = row.vat_descr;
        j["vat_rate"] = row.vat_rate;
        j["count"] = row.count;
        rows.push_back(j);
    }
    return {{"rows", rows},
            {"total", totals_json(r.total)},
            {"articles_total", totals_json(r.articles_total)},
            {"registers", r.registers.size()},
            {"days", r.days}};
}

// openpyxl reads what Excel would show: the checker compares every cell
// with the report the workbook came from.
TEST_F(SalesXlsx, OpenpyxlReadsBackTheReport) {
    const bool in_ci = std::getenv("CI") != nullptr;
    struct Case {
        const char* name;
        SalesReportSet set;
    };
    for (const Case& c : {Case{"whole", varied_set()}, Case{"articles cut", cut_set()}}) {
        SCOPED_TRACE(c.name);
        const fs::path book = out_.path() / "vendite.xlsx";
        const fs::path expected = out_.path() / "expected.json";
        std::string error;
        ASSERT_TRUE(write_sales_xlsx(c.set, book, error)) << error;
        write_file(expected.string(),
                   nlohmann::json{{"day", report_json(c.set.by_day)},
                                  {"department", report_json(c.set.by_department)},
                                  {"article", report_json(c.set.by_article)},
                                  {"register", report_json(c.set.by_register)}}
                       .dump());
        const std::string command = cat("/usr/bin/python3 '", VELTRA_SALES_XLSX_CHECK, "' '",
                                        book.string(), "' '", expected.string(), "'");
        const int status = std::system(command.c_str());
        ASSERT_NE(status, -1);
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
        if (code == 77 && !in_ci) GTEST_SKIP() << "python3-openpyxl missing";
        EXPECT_EQ(code, 0) << command;
    }
}
#endif

}  // namespace
}  // namespace veltra::test

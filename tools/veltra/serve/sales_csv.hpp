// The sales CSV files the library writes (VEND_REP_ddmmyy.CSV for the
// departments, VEND_PLU_ddmmyy.CSV for the articles), read back as data.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "sales_report.hpp"

namespace veltra::tool::serve {

// A file that is not what the library writes; the message names the file
// and the line.
class SalesCsvError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class SalesKind { departments, articles };

// What a file's name says: the kind and the register's day (YYYYMMDD).
struct SalesCsvName {
    SalesKind kind;
    std::int32_t day;
};
std::optional<SalesCsvName> sales_csv_name(std::string_view file_name);

// One department's or article's line of a day. Texts are the register's
// bytes (Latin-1), as the file has them.
struct SalesLine {
    std::int32_t number = 0;
    std::string descr;
    std::string ean;              // articles
    std::int32_t department = 0;  // articles: their department; departments: their own number
    std::string vat_descr;
    std::int32_t vat_rate = 0;  // hundredths of a percent
    SalesTotals totals;
};

struct SalesFile {
    std::string name;
    SalesKind kind = SalesKind::departments;
    std::int32_t day = 0;
    std::string text;  // the file as it came
    std::vector<SalesLine> lines;
};

// Reads one file: the header exactly as the library writes it, lines ending
// in LF or CR LF, every number an integer that fits. A ';' inside a
// description is taken as part of it when every other field still reads.
SalesFile parse_sales_csv(std::string_view name, std::string_view text);

// One register's day: its departments' file and its articles' file, each
// when the day has lines of that kind.
struct SalesDay {
    std::int32_t day = 0;
    std::optional<SalesFile> departments;
    std::optional<SalesFile> articles;
};

// Files grouped by day, oldest first. A day with two files of one kind is
// refused.
std::vector<SalesDay> sales_days(std::vector<SalesFile> files);

}  // namespace veltra::tool::serve

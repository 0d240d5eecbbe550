// A sales report over a range of days, as the sales history answers it:
// groups by day, department, article or register, with the range's sums.
// Amounts stay integer cents until a writer shows them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace veltra::tool::serve {

using Cents = std::int64_t;

// What the register's day files count, summed. Quantities are the
// register's own counts (a weighed article sold once counts 1).
struct SalesTotals {
    Cents amount = 0;
    std::int64_t quantity = 0;
    Cents discount = 0;
    Cents returns = 0;
    std::int64_t returns_quantity = 0;

    SalesTotals& operator+=(const SalesTotals& o) {
        amount += o.amount;
        quantity += o.quantity;
        discount += o.discount;
        returns += o.returns;
        returns_quantity += o.returns_quantity;
        return *this;
    }
    friend bool operator==(const SalesTotals&, const SalesTotals&) = default;
};

enum class ReportBy { day, department, article, register_name };

// One group of a report. Which fields mean something depends on the
// grouping; the others stay empty or zero.
struct ReportRow {
    std::int32_t day = 0;         // by day: YYYYMMDD
    std::int32_t number = 0;      // by department or article: its number
    std::string register_name;    // by register
    std::string descr;            // department or article, UTF-8
    std::string ean;              // article: the code as the register keeps it (text)
    std::int32_t department = 0;  // article: its department
    std::string vat_descr;        // department or article, UTF-8
    std::int32_t vat_rate = 0;    // hundredths of a percent: 1000 is 10 %
    std::int32_t count = 0;       // by day: registers with sales; by register: days
    SalesTotals totals;
};

struct SalesReport {
    std::int32_t from = 0;  // YYYYMMDD
    std::int32_t to = 0;
    ReportBy by = ReportBy::day;
    std::vector<std::string> registers;  // the registers looked at, sorted
    std::int32_t days = 0;               // days with sales in the range
    std::vector<ReportRow> rows;         // by day: oldest first; others: largest amount first
    // The departments' sums: the whole takings, article sales included.
    SalesTotals total;
    // The articles' sums: the part of the takings keyed by article.
    SalesTotals articles_total;
};

// The four groupings of one range, as a workbook shows them.
struct SalesReportSet {
    SalesReport by_day;
    SalesReport by_department;
    SalesReport by_article;
    SalesReport by_register;
};

}  // namespace veltra::tool::serve

// Sales reports written for people: amounts as Italians write them, a CSV
// that Excel in Italian opens as it is, a table for the terminal.
#pragma once

#include <ostream>
#include <string>

#include "sales_report.hpp"

namespace veltra::tool::serve {

// "1.234,56 €": a dot between thousands, a decimal comma, a no-break space
// (U+00A0) before the euro sign. Negative amounts start with '-'.
std::string euro_it(Cents cents);

// "1234,56": no grouping, decimal comma, for cells a spreadsheet reads.
std::string decimal_comma(Cents cents);

// The report as Excel in Italian opens it with no import step: UTF-8 with a
// byte-order mark, ';' between fields, CR LF, decimal commas, codes kept as
// text, a header row and a totals row.
void write_excel_csv(const SalesReport& report, std::ostream& out);

// One line a day with a bar of '#' scaled to the largest day (at most
// bar_width characters), then the range's totals. report.by is day.
std::string day_table_text(const SalesReport& report, int bar_width = 40);

}  // namespace veltra::tool::serve
